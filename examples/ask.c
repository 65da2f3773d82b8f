/* ask NAME TEXT: sends TEXT on the channel NAME and prints the first text that comes back from
   another process on it, such as `mmfcast-cli send --channel NAME ...`. Exits 0 once it has
   printed an answer, 1 when the channel cannot be joined or the text not sent, 2 when no answer
   came within 30 seconds. Written in C99 against <mmfcast/mmfcast.h>. */
#include <mmfcast/mmfcast.h>
#include <stdio.h>
#include <string.h>

struct answer {
  int arrived;
};

static void print_answer(const char* text, size_t length, void* user) {
  struct answer* answer = (struct answer*)user;
  if (answer->arrived) return;
  fwrite(text, 1, length, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  answer->arrived = 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: ask NAME TEXT\n", stderr);
    return 1;
  }
  mmfcast_channel* channel = mmfcast_join(argv[1], 0, NULL);
  if (channel == NULL || !mmfcast_joined(channel)) {
    fprintf(stderr, "ask: %s\n", channel != NULL ? mmfcast_error(channel) : "out of memory");
    mmfcast_leave(channel);
    return 1;
  }
  struct answer answer = {0};
  mmfcast_on_receive(channel, print_answer, &answer);
  int status = 0;
  if (mmfcast_send(channel, argv[2], strlen(argv[2])) != MMFCAST_SENT) {
    fprintf(stderr, "ask: %s\n", mmfcast_error(channel));
    status = 1;
  }
  /* An event loop would watch mmfcast_event_fd(channel); waiting in dispatch does as well. */
  for (int second = 0; status == 0 && !answer.arrived && second < 30; ++second) {
    if (mmfcast_dispatch(channel, 1000) < 0) {
      fprintf(stderr, "ask: %s\n", mmfcast_error(channel));
      status = 1;
    }
  }
  if (status == 0 && !answer.arrived) status = 2;
  mmfcast_leave(channel);
  return status;
}
