#ifndef KAVLODOUBLE_H
#define KAVLODOUBLE_H

// Controls of the test double of libkavlo.so.0. The double answers the same
// calls as the packet-data library, records each of them, and does nothing
// on its own: callbacks come only from kavlo_double_fire().

#include <kavlo.h>

#ifdef __cplusplus
extern "C" {
#endif

// Forgets the recorded calls and the last callback and numbers handles and
// settings from 1 again; init succeeds again and mms_connect returns 0.
void kavlo_double_reset(void);
void kavlo_double_set_init_fails(int fails);
void kavlo_double_set_connect_result(int result);

// The calls made so far, one text each, handles and settings objects numbered
// in order of creation: "mms_init -> h1", "mms_settings_create(\"apn\",
// \"user\",\"pass\") -> s1", "mms_connect(h1,s1)", "mms_settings_destroy(s1)",
// "mms_disconnect(h1)", "mms_deinit(h1)". A null string shows as NULL.
int kavlo_double_call_count(void);
const char *kavlo_double_call(int index);

// Calls the callback last given to mms_connect, with its user data. Returns
// 0 when there was none.
int kavlo_double_fire(const struct mms_context_s *context);

#ifdef __cplusplus
}
#endif

#endif // KAVLODOUBLE_H
