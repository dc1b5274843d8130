// Test double of the packet-data library: same header, same soname, linked by
// the tests in place of the stand-in.
#include "kavlodouble.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

struct mms_handle_s
{
    int number;
};
struct mms_settings_s
{
    int number;
    std::string apn, user, password; // own copies, as the real library keeps
};

namespace {
std::vector<std::string> calls;
bool initFails = false;
int connectResult = 0;
int handles = 0;
int settingsCount = 0;
mms_callback_t lastCallback = nullptr;
void *lastUserData = nullptr;

std::string quoted(const char *s)
{
    return s ? "\"" + std::string(s) + "\"" : std::string("NULL");
}
std::string name(const mms_handle_t *h)
{
    return h ? "h" + std::to_string(h->number) : std::string("NULL");
}
std::string name(const mms_settings_t *s)
{
    return s ? "s" + std::to_string(s->number) : std::string("NULL");
}
} // namespace

DOUBLE_EXPORT void kavlo_double_reset(void)
{
    calls.clear();
    initFails = false;
    connectResult = 0;
    lastCallback = nullptr;
    lastUserData = nullptr;
    handles = 0;
    settingsCount = 0;
}

DOUBLE_EXPORT void kavlo_double_set_init_fails(int fails)
{
    initFails = fails != 0;
}

DOUBLE_EXPORT void kavlo_double_set_connect_result(int result)
{
    connectResult = result;
}

DOUBLE_EXPORT int kavlo_double_call_count(void)
{
    return int(calls.size());
}

DOUBLE_EXPORT const char *kavlo_double_call(int index)
{
    return index >= 0 && size_t(index) < calls.size() ? calls[size_t(index)].c_str() : nullptr;
}

DOUBLE_EXPORT int kavlo_double_fire(const struct mms_context_s *context)
{
    if (!lastCallback)
        return 0;
    lastCallback(context, lastUserData);
    return 1;
}

DOUBLE_EXPORT mms_handle_t *mms_init(void)
{
    if (initFails) {
        calls.push_back("mms_init -> NULL");
        return nullptr;
    }
    auto *h = new mms_handle_s { ++handles };
    calls.push_back("mms_init -> " + name(h));
    return h;
}

DOUBLE_EXPORT void mms_deinit(mms_handle_t *handle)
{
    calls.push_back("mms_deinit(" + name(handle) + ")");
    delete handle;
}

DOUBLE_EXPORT mms_settings_t *mms_settings_create(const char *apn, const char *user, const char *password)
{
    auto *s
        = new mms_settings_s { ++settingsCount, apn ? apn : "", user ? user : "", password ? password : "" };
    calls.push_back("mms_settings_create(" + quoted(apn) + "," + quoted(user) + "," + quoted(password)
        + ") -> " + name(s));
    return s;
}

DOUBLE_EXPORT void mms_settings_destroy(mms_settings_t *settings)
{
    calls.push_back("mms_settings_destroy(" + name(settings) + ")");
    delete settings;
}

DOUBLE_EXPORT int mms_connect(
    mms_handle_t *handle, mms_settings_t *settings, mms_callback_t callback, void *user_data)
{
    calls.push_back("mms_connect(" + name(handle) + "," + name(settings) + ")");
    lastCallback = callback;
    lastUserData = user_data;
    return connectResult;
}

DOUBLE_EXPORT int mms_disconnect(mms_handle_t *handle)
{
    calls.push_back("mms_disconnect(" + name(handle) + ")");
    return 0;
}
