// A wl_buffer in shared memory (memfd), mapped into this process for drawing; the compositor
// says through `release` when it no longer reads it, so the owner knows when it may be redrawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct wl_buffer;
struct wl_shm;

namespace tolva {

class ShmBuffer {
public:
    // A buffer of `width`×`height` pixels in `format` (a WL_SHM_FORMAT_* of 4 bytes a pixel) with
    // rows `stride` bytes apart (0 = packed); nothing when the memory or the buffer cannot be made.
    static std::unique_ptr<ShmBuffer> create(wl_shm* shm, int width, int height, std::uint32_t format,
                                             int stride = 0);
    ~ShmBuffer();
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    wl_buffer* buffer() const { return buffer_; }
    std::uint8_t* data() const { return static_cast<std::uint8_t*>(data_); }
    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return stride_; }
    std::uint32_t format() const { return format_; }

    // Whether the compositor may still read it: set on attach, cleared by `release`.
    bool busy() const { return busy_; }
    void markBusy() { busy_ = true; }

private:
    ShmBuffer() = default;
    static void handleRelease(void* data, wl_buffer* buffer);

    int fd_ = -1;
    void* data_ = nullptr;
    std::size_t size_ = 0;
    wl_buffer* buffer_ = nullptr;
    int width_ = 0, height_ = 0, stride_ = 0;
    std::uint32_t format_ = 0;
    bool busy_ = false;
};

} // namespace tolva
