#include "bus_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

namespace emu::proxy {

namespace {

struct sigaction previous_action;
std::uintptr_t page_size = 4096;

// What the current thread is guarding; read by the handler on that thread.
thread_local std::span<const MappedRange> guarded;
thread_local volatile sig_atomic_t lost_page = 0;

void on_sigbus(int, siginfo_t* info, void*) {
  auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (const auto& range : guarded) {
    auto begin = reinterpret_cast<std::uintptr_t>(range.begin);
    if (address - begin >= range.size) continue;
    // The faulting access resumes on a private zero page.
    void* page = reinterpret_cast<void*>(address & ~(page_size - 1));
    if (::mmap(page, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      lost_page = 1;
      return;
    }
    break;
  }
  // Not ours: the previous disposition takes the repeated fault.
  ::sigaction(SIGBUS, &previous_action, nullptr);
}

void install() {
  page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &previous_action);
}

}  // namespace

bool run_guarded(std::span<const MappedRange> ranges, const std::function<void()>& work) {
  static std::once_flag installed;
  std::call_once(installed, install);
  guarded = ranges;
  lost_page = 0;
  struct Reset {
    ~Reset() { guarded = {}; }
  } reset;
  work();
  return lost_page == 0;
}

}  // namespace emu::proxy
