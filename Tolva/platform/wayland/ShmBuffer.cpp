// Shared-memory buffers: a sealed-size memfd, mapped once, wrapped in a wl_shm pool.
#include "platform/wayland/ShmBuffer.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tolva {

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, int width, int height, std::uint32_t format,
                                             int stride) {
    if (shm == nullptr || width <= 0 || height <= 0)
        return nullptr;
    std::unique_ptr<ShmBuffer> result(new ShmBuffer);
    result->width_ = width;
    result->height_ = height;
    result->stride_ = stride > 0 ? stride : width * 4;
    result->format_ = format;
    result->size_ = std::size_t(result->stride_) * std::size_t(height);
    result->fd_ = ::memfd_create("tolva-shm", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (result->fd_ < 0 || ::ftruncate(result->fd_, off_t(result->size_)) != 0)
        return nullptr;
    // The compositor maps the same memory: it must never shrink under it.
    ::fcntl(result->fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL);
    result->data_ = ::mmap(nullptr, result->size_, PROT_READ | PROT_WRITE, MAP_SHARED, result->fd_, 0);
    if (result->data_ == MAP_FAILED) {
        result->data_ = nullptr;
        return nullptr;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, result->fd_, int32_t(result->size_));
    result->buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, result->stride_, format);
    // The buffer keeps the pool's memory alive on both sides.
    wl_shm_pool_destroy(pool);
    if (result->buffer_ == nullptr)
        return nullptr;
    static const wl_buffer_listener listener = {.release = &ShmBuffer::handleRelease};
    wl_buffer_add_listener(result->buffer_, &listener, result.get());
    return result;
}

void ShmBuffer::handleRelease(void* data, wl_buffer*) {
    static_cast<ShmBuffer*>(data)->busy_ = false;
}

ShmBuffer::~ShmBuffer() {
    if (buffer_)
        wl_buffer_destroy(buffer_);
    if (data_)
        ::munmap(data_, size_);
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace tolva
