/* kit_client VERSION: a C99 program built against the Windows developer kit alone, with
   -lmmfcast and nothing else. It checks that mmfcast.dll reports VERSION, sends a text on a
   send-only channel of its own, and refuses an empty one with the code and message that say
   why. Prints what it did; exits 0 when all of it held, 1 otherwise. */
#include <mmfcast/mmfcast.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: kit_client VERSION\n", stderr);
    return 1;
  }
  printf("version %s\n", mmfcast_version());
  if (strcmp(mmfcast_version(), argv[1]) != 0 || strcmp(MMFCAST_VERSION_STRING, argv[1]) != 0) {
    fprintf(stderr, "kit_client: the DLL says %s, the headers %s\n", mmfcast_version(),
            MMFCAST_VERSION_STRING);
    return 1;
  }
  mmfcast_options options = MMFCAST_OPTIONS_INIT;
  options.name = "KitClient";
  options.send_only = 1;
  mmfcast_channel* channel = mmfcast_join_options(&options);
  if (channel == NULL || !mmfcast_joined(channel)) {
    fprintf(stderr, "kit_client: %s\n", channel != NULL ? mmfcast_error(channel) : "out of memory");
    mmfcast_leave(channel);
    return 1;
  }
  int status = 0;
  printf("max %u\n", (unsigned)mmfcast_max_text_bytes(channel));
  if (mmfcast_send(channel, "from the kit", 12) != MMFCAST_SENT) {
    fprintf(stderr, "kit_client: not sent: %s\n", mmfcast_error(channel));
    status = 1;
  }
  if (mmfcast_send(channel, "", 0) != MMFCAST_FAILED ||
      mmfcast_last_failure(channel) != MMFCAST_E_TEXT || mmfcast_error(channel)[0] == '\0') {
    fprintf(stderr, "kit_client: an empty text was not refused as one\n");
    status = 1;
  }
  mmfcast_leave(channel);
  if (status == 0) puts("sent");
  return status;
}
