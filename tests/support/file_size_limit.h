// A file size limit for the scope of one object: writes past it fail as on a full disk, for root
// as well. The signal such a write raises is ignored while the limit holds, so the write reports
// the error instead. Test thread only (the limit and the signal are the process's).
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace velto::test {

class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

} // namespace velto::test
