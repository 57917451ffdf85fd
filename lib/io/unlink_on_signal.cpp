#include "unlink_on_signal.hpp"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>

namespace orv::inpout::detail {

namespace {

constexpr int slots = 8;
constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};

// 0 free, 1 being written, 2 holding a path the handler may remove.
std::atomic<int> state[slots];
char paths[slots][PATH_MAX];

// Installing and restoring the handlers, counted by the guards alive.
std::mutex install_mutex;
int guards = 0;
struct sigaction previous[std::size(signals)];
bool installed[std::size(signals)];

extern "C" void remove_and_die(int sig) {
  for (int i = 0; i < slots; ++i)
    if (state[i].load() == 2) ::unlink(paths[i]);
  // SA_RESETHAND gave the signal back its default action.
  ::raise(sig);
}

void install() {
  struct sigaction action {};
  action.sa_handler = remove_and_die;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (std::size_t i = 0; i < std::size(signals); ++i) {
    installed[i] = false;
    struct sigaction now {};
    if (::sigaction(signals[i], nullptr, &now) != 0 || now.sa_handler != SIG_DFL || (now.sa_flags & SA_SIGINFO))
      continue;
    installed[i] = ::sigaction(signals[i], &action, &previous[i]) == 0;
  }
}

void restore() {
  for (std::size_t i = 0; i < std::size(signals); ++i)
    if (installed[i]) ::sigaction(signals[i], &previous[i], nullptr);
}

}  // namespace

unlink_on_signal::unlink_on_signal(const std::string& path) {
  if (path.empty() || path.size() >= PATH_MAX) return;
  for (int i = 0; i < slots; ++i) {
    int expected = 0;
    if (state[i].compare_exchange_strong(expected, 1)) {
      std::memcpy(paths[i], path.c_str(), path.size() + 1);
      state[i].store(2);
      slot_ = i;
      break;
    }
  }
  if (slot_ < 0) return;
  std::lock_guard<std::mutex> lock(install_mutex);
  if (guards++ == 0) install();
}

unlink_on_signal::~unlink_on_signal() {
  if (slot_ < 0) return;
  state[slot_].store(0);
  std::lock_guard<std::mutex> lock(install_mutex);
  if (--guards == 0) restore();
}

}  // namespace orv::inpout::detail
