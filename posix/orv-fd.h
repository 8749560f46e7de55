// An owned file descriptor: closed by its destructor, moved but never copied.
#pragma once

#include <utility>

class OrvFd {
public:
    OrvFd() = default;
    explicit OrvFd(int fd) : m_fd(fd) {}
    ~OrvFd() { Reset(); }
    OrvFd(OrvFd&& other) noexcept : m_fd(other.Release()) {}
    OrvFd& operator=(OrvFd&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    OrvFd(const OrvFd&) = delete;
    OrvFd& operator=(const OrvFd&) = delete;

    int Get() const { return m_fd; }
    bool IsValid() const { return m_fd >= 0; }
    explicit operator bool() const { return IsValid(); }
    // Gives up ownership; the caller closes the returned descriptor.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held (through the system-call table) and takes fd instead.
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};
