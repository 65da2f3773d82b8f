// libmosquitto, loaded when a bridge to an MQTT broker starts and not before: linked in, it
// would load libssl and libcrypto at every start of mmfcast-cli, which a one-shot send pays
// for and never uses. The table keeps <mosquitto.h>'s types; each entry is the function of the
// same name.
#pragma once

#include <mosquitto.h>

#include <string>

namespace cli {

// Each function of libmosquitto the bridge calls.
#define MMFCAST_MOSQUITTO_FUNCTIONS(X)    \
  X(mosquitto_lib_init)                   \
  X(mosquitto_lib_cleanup)                \
  X(mosquitto_new)                        \
  X(mosquitto_destroy)                    \
  X(mosquitto_int_option)                 \
  X(mosquitto_username_pw_set)            \
  X(mosquitto_tls_set)                    \
  X(mosquitto_reconnect_delay_set)        \
  X(mosquitto_connect_v5_callback_set)    \
  X(mosquitto_subscribe_v5_callback_set)  \
  X(mosquitto_disconnect_v5_callback_set) \
  X(mosquitto_publish_v5_callback_set)    \
  X(mosquitto_message_v5_callback_set)    \
  X(mosquitto_log_callback_set)           \
  X(mosquitto_connect_bind_v5)            \
  X(mosquitto_loop_start)                 \
  X(mosquitto_loop_stop)                  \
  X(mosquitto_disconnect_v5)              \
  X(mosquitto_subscribe_v5)               \
  X(mosquitto_publish_v5)                 \
  X(mosquitto_property_add_byte)          \
  X(mosquitto_property_add_int32)         \
  X(mosquitto_property_add_string_pair)   \
  X(mosquitto_property_read_string_pair)  \
  X(mosquitto_property_free_all)          \
  X(mosquitto_strerror)                   \
  X(mosquitto_reason_string)

struct MosquittoLibrary {
// NOLINTNEXTLINE(bugprone-macro-parentheses): the argument names the member declared
#define MMFCAST_MOSQUITTO_POINTER(name) decltype(&::name) name = nullptr;
  MMFCAST_MOSQUITTO_FUNCTIONS(MMFCAST_MOSQUITTO_POINTER)
#undef MMFCAST_MOSQUITTO_POINTER
};

// The library's file name, as the dynamic loader looks it up.
inline constexpr char kMosquittoLibrary[] = "libmosquitto.so.1";

// Loads libmosquitto and fills the table; "" when every function was found, else why not
// (the library and the loader's reason). The library stays loaded until the process ends: its
// network thread, and OpenSSL's exit handlers, run from it.
std::string load_mosquitto(MosquittoLibrary& library);

}  // namespace cli
