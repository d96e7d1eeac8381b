// A file descriptor closed when its owner's scope ends (the sockets of the
// adapter queries).
#pragma once

#include <unistd.h>

namespace lcmp {

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace lcmp
