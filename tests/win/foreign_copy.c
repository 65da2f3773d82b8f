/* A program of another maker that speaks the desktop program's contract and nothing more: the
 * area "MyPubMemory" (4,096 bytes in the paging file), the registered message "MyPubMessage"
 * with wParam = the text's length in characters + 1 and lParam = 0, broadcast to every
 * application but the sender. It shares no code with mmfcast, so what it proves is the contract.
 *
 *   foreign_copy send TEXT    writes TEXT to the area and broadcasts the message; exit 0 unless
 *                             the broadcast failed
 *   foreign_copy listen N     makes a top-level window, prints "ready", then prints each text it
 *                             receives as a line (the code page's bytes) and ends after N texts
 *                             or 60 seconds without one (exit 1)
 *   foreign_copy type TEXT    types TEXT into the first mmfcast window's input box and clicks its
 *                             button, as a user would; exit 0 once the window has taken it
 *   foreign_copy close        closes the first mmfcast window, as its close box would
 */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define AREA_NAME "MyPubMemory"
#define MESSAGE_NAME "MyPubMessage"
#define AREA_BYTES 4096

static UINT message_id;
static long texts_left;

static int send_text(const char* text) {
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, AREA_BYTES, AREA_NAME);
  if (mapping == NULL) return 3;
  char* view = (char*)MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (view == NULL) return 3;
  lstrcpynA(view, text, AREA_BYTES);
  DWORD recipients = BSM_APPLICATIONS;
  const long sent = BroadcastSystemMessageA(BSF_IGNORECURRENTTASK, &recipients, message_id,
                                            (WPARAM)(strlen(text) + 1), 0);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return sent == -1 ? 4 : 0;
}

static LRESULT CALLBACK procedure(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == message_id && wparam > 0) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, AREA_NAME);
    const char* view =
        mapping != NULL ? (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
    if (view != NULL) {
      char text[AREA_BYTES];
      const int bound = wparam < AREA_BYTES ? (int)wparam : AREA_BYTES;
      lstrcpynA(text, view, bound);
      printf("%s\n", text);
      fflush(stdout);
      UnmapViewOfFile(view);
    }
    if (mapping != NULL) CloseHandle(mapping);
    if (--texts_left == 0) PostQuitMessage(0);
    SetTimer(hwnd, 1, 60000, NULL); /* the quiet time starts again */
    return 0;
  }
  if (msg == WM_TIMER) PostQuitMessage(1);
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static int listen_for(long count) {
  WNDCLASSA wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = procedure;
  wc.hInstance = GetModuleHandleA(NULL);
  wc.lpszClassName = "foreign.copy";
  if (!RegisterClassA(&wc)) return 3;
  HWND hwnd = CreateWindowA("foreign.copy", "foreign copy", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                            NULL, NULL, wc.hInstance, NULL);
  if (hwnd == NULL) return 3;
  texts_left = count;
  printf("ready\n");
  fflush(stdout);
  SetTimer(hwnd, 1, 60000, NULL);
  MSG m;
  int status = 0;
  for (;;) {
    const BOOL got = GetMessageA(&m, NULL, 0, 0);
    if (got == 0) {
      status = (int)m.wParam;
      break;
    }
    if (got < 0) return 3;
    DispatchMessageA(&m);
  }
  DestroyWindow(hwnd);
  return status;
}

/* The window's input box and button carry the ids 102 and 103 (what its dialog resources would
 * give them); the text goes in as typed and the button is clicked. */
static int type_into_window(const char* text) {
  HWND main = NULL, input = NULL, button = NULL;
  /* The window may still be making its controls. */
  for (int tries = 0; tries < 600 && (input == NULL || button == NULL); ++tries) {
    main = FindWindowA("mmfcast.main", NULL);
    input = main != NULL ? GetDlgItem(main, 102) : NULL;
    button = main != NULL ? GetDlgItem(main, 103) : NULL;
    if (input == NULL || button == NULL) Sleep(50);
  }
  if (input == NULL || button == NULL) return 5;
  SendMessageA(input, WM_SETTEXT, 0, (LPARAM)text);
  SendMessageA(main, WM_COMMAND, MAKEWPARAM(103, BN_CLICKED), (LPARAM)button);
  return 0;
}

static int close_window(void) {
  HWND main = FindWindowA("mmfcast.main", NULL);
  if (main == NULL) return 5;
  PostMessageA(main, WM_CLOSE, 0, 0);
  return 0;
}

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY); /* lines end in \n alone */
  message_id = RegisterWindowMessageA(MESSAGE_NAME);
  if (message_id == 0) return 3;
  if (argc == 3 && strcmp(argv[1], "send") == 0) return send_text(argv[2]);
  if (argc == 3 && strcmp(argv[1], "listen") == 0) return listen_for(atol(argv[2]));
  if (argc == 3 && strcmp(argv[1], "type") == 0) return type_into_window(argv[2]);
  if (argc == 2 && strcmp(argv[1], "close") == 0) return close_window();
  fprintf(stderr, "usage: foreign_copy send TEXT | listen N | type TEXT | close\n");
  return 2;
}
