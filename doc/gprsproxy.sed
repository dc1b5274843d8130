# Doxygen input filter for the generated comorvelquelmgprs.h. The proxy has a
# property Available and a signal Available(); a \fn in gprsproxy.dox cannot
# tell them apart, so the signal's documentation goes in front of it here.
s|^\( *\)void Available();|\1/** The service's Available: packet data has become available. */ void Available();|
