// A descriptor with one owner, closed when the owner goes: every path out
// of an open or a set-up that fails half-way gives back what it had opened.
// POSIX only.
#pragma once

#include <unistd.h>

#include <utility>

namespace korvanel {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// pipe2() or socketpair() into two holders; false when the call failed.
template <typename Make>
bool MakePair(UniqueFd (&ends)[2], Make make)
{
    int fds[2] = {-1, -1};
    if (make(fds) != 0)
        return false;
    ends[0].reset(fds[0]);
    ends[1].reset(fds[1]);
    return true;
}

} // namespace korvanel
