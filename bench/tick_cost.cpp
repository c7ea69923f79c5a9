// The cost of the program's own work per timer tick and per popup, against a seam that returns at once.
//
//   tick_cost allocations        heap allocations per idle tick, click tick and popup
//   tick_cost idle|click|popup N run N of them (for counting instructions under callgrind)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/program.h"
#include "null_windows.h"

namespace {

std::size_t allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Bench {
  vantorel::bench::NullWindows win;
  vantorel::Program program{win};
  vantorel::LastInputInfo record;
  Bench() {
    program.guiThreadId = 1;
    program.lastInputInfo = &record;
    program.host.handle = 1;
    // Bind every entry once, as the first ticks of a run do.
    program.onIdleTick();
    program.onClickTick();
    program.popUpTrayMenu(vantorel::kRootEntry);
  }
  void run(const char* what, long n) {
    if (std::strcmp(what, "idle") == 0) {
      for (long i = 0; i < n; ++i) program.onIdleTick();
    } else if (std::strcmp(what, "click") == 0) {
      for (long i = 0; i < n; ++i) program.onClickTick();
    } else {
      for (long i = 0; i < n; ++i) program.popUpTrayMenu(vantorel::kRootEntry);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "allocations") == 0) {
    Bench bench;
    const struct {
      const char* what;
      long n;
    } runs[] = {{"idle", 10000}, {"click", 10000}, {"popup", 1000}};
    for (const auto& r : runs) {
      const std::size_t before = allocations;
      bench.run(r.what, r.n);
      std::printf("%s %ld %zu\n", r.what, r.n, allocations - before);
    }
    return 0;
  }
  if (argc == 3) {
    Bench bench;
    bench.run(argv[1], std::atol(argv[2]));
    return 0;
  }
  std::fprintf(stderr, "usage: tick_cost allocations | tick_cost idle|click|popup N\n");
  return 2;
}
