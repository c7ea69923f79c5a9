// fixture.exe: builds a desktop window tree like the one a Windows shell has, for the program under
// test to find, and keeps it until asked to go (WM_QUIT to its thread, WM_CLOSE to any of its
// windows, or the named event given with --stop).
//
//   fixture LAYOUT [--stop EVENT-NAME]
//
// Layouts (every window visible):
//   progman         Progman "Program Manager" > SHELLDLL_DefView "" > SysListView32 "FolderView"
//   workerw         WorkerW "" (empty) first, then WorkerW "" > SHELLDLL_DefView "" > SysListView32 "FolderView"
//   progman-nolist  Progman "Program Manager" > SHELLDLL_DefView "" (no list view)
//   progman-empty   Progman "Program Manager" alone
//   workerw-nolist  WorkerW "" (empty) first, then WorkerW "" > SHELLDLL_DefView "" (no list view)
//   both            the progman and the workerw trees together
//
// Prints "ready <pid>" once the tree exists, "bye" when it goes.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

void out(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, static_cast<DWORD>(n), &written, nullptr);
}

LRESULT CALLBACK frame_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      PostQuitMessage(0);
      return 0;
    case WM_SIZE: {
      // The children fill their parent, as on a real desktop.
      HWND child = GetWindow(hwnd, GW_CHILD);
      if (child != nullptr) {
        MoveWindow(child, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
      }
      return 0;
    }
    default:
      return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

bool register_class(const char* name, HBRUSH background) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = frame_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.lpszClassName = name;
  return RegisterClassA(&wc) != 0;
}

HWND make_top(const char* cls, const char* title, int x, int y, int w, int h) {
  return CreateWindowExA(0, cls, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, x, y, w, h, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

HWND make_defview(HWND parent) {
  RECT r{};
  GetClientRect(parent, &r);
  return CreateWindowExA(0, "SHELLDLL_DefView", "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, r.right, r.bottom,
                         parent, nullptr, GetModuleHandleA(nullptr), nullptr);
}

HWND make_list(HWND defview, const char* const* items, int item_count) {
  RECT r{};
  GetClientRect(defview, &r);
  HWND list = CreateWindowExA(0, WC_LISTVIEWA, "FolderView", WS_CHILD | WS_VISIBLE | LVS_ICON, 0, 0, r.right,
                              r.bottom, defview, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (list == nullptr) return nullptr;
  for (int i = 0; i < item_count; ++i) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = i;
    item.pszText = const_cast<char*>(items[i]);
    SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
  }
  return list;
}

bool build_progman(bool with_defview, bool with_list) {
  HWND progman = make_top("Progman", "Program Manager", 40, 40, 420, 300);
  if (progman == nullptr) return false;
  if (!with_defview) return true;
  HWND defview = make_defview(progman);
  if (defview == nullptr) return false;
  static const char* const kItems[] = {"Progman icon 1", "Progman icon 2", "Progman icon 3"};
  return !with_list || make_list(defview, kItems, 3) != nullptr;
}

bool build_workerw(bool with_list) {
  HWND worker = make_top("WorkerW", "", 500, 40, 420, 300);
  if (worker == nullptr) return false;
  HWND defview = make_defview(worker);
  if (defview == nullptr) return false;
  static const char* const kItems[] = {"WorkerW icon 1", "WorkerW icon 2"};
  if (with_list && make_list(defview, kItems, 2) == nullptr) return false;
  // The empty WorkerW comes first in the window order, so a search that stops at the first WorkerW
  // finds no DefView.
  HWND empty = make_top("WorkerW", "", 500, 380, 300, 120);
  if (empty == nullptr) return false;
  SetWindowPos(empty, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  HWND first = FindWindowExA(nullptr, nullptr, "WorkerW", nullptr);
  if (first != empty) {
    out("error the empty WorkerW is not first\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    out("error usage: fixture LAYOUT [--stop EVENT-NAME]\n");
    return 2;
  }
  const char* layout = argv[1];
  HANDLE stop = nullptr;
  if (argc >= 4 && std::strcmp(argv[2], "--stop") == 0) {
    stop = CreateEventA(nullptr, TRUE, FALSE, argv[3]);
  }

  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_LISTVIEW_CLASSES;
  InitCommonControlsEx(&icc);

  HBRUSH desk = CreateSolidBrush(RGB(0x30, 0x60, 0x90));
  if (!register_class("Progman", desk) || !register_class("WorkerW", desk) ||
      !register_class("SHELLDLL_DefView", reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1))) {
    out("error RegisterClass %lu\n", GetLastError());
    return 2;
  }

  bool ok = false;
  if (std::strcmp(layout, "progman") == 0) {
    ok = build_progman(true, true);
  } else if (std::strcmp(layout, "progman-nolist") == 0) {
    ok = build_progman(true, false);
  } else if (std::strcmp(layout, "progman-empty") == 0) {
    ok = build_progman(false, false);
  } else if (std::strcmp(layout, "workerw") == 0) {
    ok = build_workerw(true);
  } else if (std::strcmp(layout, "workerw-nolist") == 0) {
    ok = build_workerw(false);
  } else if (std::strcmp(layout, "both") == 0) {
    ok = build_progman(true, true) && build_workerw(true);
  } else {
    out("error unknown layout %s\n", layout);
    return 2;
  }
  if (!ok) {
    out("error could not build %s (%lu)\n", layout, GetLastError());
    return 2;
  }
  out("ready %lu\n", GetCurrentProcessId());

  for (;;) {
    DWORD count = stop != nullptr ? 1 : 0;
    DWORD wait = MsgWaitForMultipleObjects(count, &stop, FALSE, INFINITE, QS_ALLINPUT);
    if (stop != nullptr && wait == WAIT_OBJECT_0) break;
    MSG msg;
    bool quit = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        break;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (quit) break;
  }
  out("bye\n");
  return 0;
}
