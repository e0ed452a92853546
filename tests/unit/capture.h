// Captures what the code under test writes to a file descriptor (1 or 2).
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <string>

namespace qntest {

class CaptureFd {
  public:
    explicit CaptureFd(int fd) : fd_(fd)
    {
        fflush(stdout);
        file_ = tmpfile();
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    ~CaptureFd()
    {
        finish();
    }

    // Stops capturing and returns everything written since the start.
    std::string finish()
    {
        if (saved_ < 0)
            return text_;
        fflush(stdout);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
            text_.append(buf, n);
        fclose(file_);
        return text_;
    }

  private:
    int fd_;
    int saved_ = -1;
    FILE *file_ = nullptr;
    std::string text_;
};

} // namespace qntest
