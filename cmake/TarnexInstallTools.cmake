# tarnex-tools: the demo client, mmspdu, the simulated operator side and the
# demo that joins them, with its sample message. Installed only when asked.
if(NOT TARNEX_INSTALL_TOOLS)
    return()
endif()
foreach(t mms-demo mmspdu-tool mmsc-sim gprs-sim)
    if(NOT TARGET ${t})
        message(FATAL_ERROR "TARNEX_INSTALL_TOOLS needs ${t}: build with TARNEX_BUILD_EXAMPLES=ON")
    endif()
endforeach()
install(TARGETS mms-demo mmspdu-tool mmsc-sim gprs-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES examples/data/m-send-req.mms DESTINATION ${TARNEX_TOOLS_DATADIR})
install(DIRECTORY examples/data/parts DESTINATION ${TARNEX_TOOLS_DATADIR})
install(PROGRAMS scripts/demo DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tarnex-tools)
# Relative to itself, so an installed tree can be moved.
file(RELATIVE_PATH TARNEX_BIN_TO_LIBEXEC ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR})
file(RELATIVE_PATH TARNEX_BIN_TO_DATA ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${TARNEX_TOOLS_DATADIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarnex-demo.in ${PROJECT_BINARY_DIR}/tarnex-demo @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/tarnex-demo DESTINATION ${CMAKE_INSTALL_BINDIR})
