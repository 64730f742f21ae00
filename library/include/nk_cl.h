// Thin value classes over the OpenCL 1.2 API: one handle each, reference counts
// kept by construction, copy and destruction, and a failure report per failed call.
#pragma once

#ifndef CL_TARGET_OPENCL_VERSION
#define CL_TARGET_OPENCL_VERSION 120
#endif
#include <CL/cl.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "nk_typedef.h"

typedef void(CL_CALLBACK* t_nkClContextNotify)(const char* errinfo, const void* private_info, size_t cb,
                                               void* user_data);
typedef void(CL_CALLBACK* t_nkClProgramNotify)(cl_program program, void* user_data);

class nk_cl_context;
class nk_cl_program;
class nk_cl_kernel;
class nk_cl_command_queue;
class nk_cl_mem;

// Reference counting of the handle types, kept in the library so that callers
// need not link OpenCL themselves.
namespace nk_cl_detail {
void retain(cl_context h);
void release(cl_context h);
void retain(cl_program h);
void release(cl_program h);
void retain(cl_kernel h);
void release(cl_kernel h);
void retain(cl_command_queue h);
void release(cl_command_queue h);
void retain(cl_mem h);
void release(cl_mem h);
}  // namespace nk_cl_detail

// Counted handle: owns one OpenCL reference, gives it back on destruction.
template <class Handle>
class nk_cl_counted {
public:
    nk_cl_counted() = default;
    // Takes over the one reference the caller holds.
    explicit nk_cl_counted(Handle h) : handle_(h) {}
    nk_cl_counted(const nk_cl_counted& o) : handle_(o.handle_) {
        if (handle_) nk_cl_detail::retain(handle_);
    }
    nk_cl_counted(nk_cl_counted&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
    nk_cl_counted& operator=(const nk_cl_counted& o) {
        const Handle h = o.handle_;  // read first: on self-assignment reset() clears it
        if (h) nk_cl_detail::retain(h);
        reset();
        handle_ = h;
        return *this;
    }
    nk_cl_counted& operator=(nk_cl_counted&& o) noexcept {
        if (this != &o) {
            reset();
            handle_ = std::exchange(o.handle_, nullptr);
        }
        return *this;
    }
    virtual ~nk_cl_counted() { reset(); }

    Handle get() const { return handle_; }
    bool empty() const { return handle_ == nullptr; }

protected:
    void reset() {
        if (handle_) nk_cl_detail::release(handle_);
        handle_ = nullptr;
    }
    Handle handle_ = nullptr;
};

class nk_cl_device {
public:
    nk_cl_device() = default;
    explicit nk_cl_device(cl_device_id id) : handle_(id) {}
    virtual ~nk_cl_device() = default;
    nk_cl_device(const nk_cl_device&) = default;
    nk_cl_device& operator=(const nk_cl_device&) = default;
    cl_device_id get() const { return handle_; }

    std::string name() const;
    std::string vendor() const;
    std::string extensions() const;
    cl_device_type type() const;
    u32 max_compute_units() const;
    u32 max_work_item_dimensions() const;
    u32 address_bits() const;
    bool is_little_endian() const;
    bool device_available() const;
    bool compiler_available() const;
    u64 global_mem_size() const;
    u64 global_mem_cache_size() const;
    u64 local_mem_size() const;
    u64 max_mem_alloc_size() const;
    u64 max_constant_buffer_size() const;
    size_t max_image2d_width() const;
    size_t max_image2d_height() const;
    size_t max_image3d_width() const;
    size_t max_image3d_height() const;
    size_t max_image3d_depth() const;
    u32 preferred_vector_width_char() const;
    u32 preferred_vector_width_short() const;
    u32 preferred_vector_width_int() const;
    u32 preferred_vector_width_long() const;
    u32 preferred_vector_width_float() const;
    u32 preferred_vector_width_double() const;
    u32 preferred_vector_width_half() const;
    bool is_double_supported() const { return preferred_vector_width_double() != 0; }
    bool is_half_supported() const { return preferred_vector_width_half() != 0; }

private:
    cl_device_id handle_ = nullptr;
};

class nk_cl_platform {
public:
    nk_cl_platform() = default;
    explicit nk_cl_platform(cl_platform_id id) : handle_(id) {}
    virtual ~nk_cl_platform() = default;
    nk_cl_platform(const nk_cl_platform&) = default;
    nk_cl_platform& operator=(const nk_cl_platform&) = default;
    cl_platform_id get() const { return handle_; }

    std::vector<nk_cl_device> devices() const;
    std::string name() const;
    std::string version() const;
    std::string vendor() const;
    std::string profile() const;
    std::string extensions() const;

private:
    cl_platform_id handle_ = nullptr;
};

class nk_cl_mem : public nk_cl_counted<cl_mem> {
public:
    using nk_cl_counted::nk_cl_counted;
    // Wraps a handle that belongs to someone else, taking a reference of its own.
    static nk_cl_mem retained(cl_mem h);

    u32 reference_count() const;
    u32 map_count() const;
    u32 type() const;
    cl_mem_flags flags() const;
    size_t size() const;
    size_t offset() const;
    void* host_ptr() const;
    nk_cl_context context() const;
    nk_cl_mem associated_mem_object() const;

    cl_image_format format() const;
    size_t element_size() const;
    size_t row_pitch() const;
    size_t slice_pitch() const;
    size_t width() const;
    size_t height() const;
    size_t depth() const;
    size_t array_size() const;
    nk_cl_mem buffer() const;
    u32 mip_levels() const;
    u32 num_samples() const;

    nk_cl_mem create_sub_buffer(cl_mem_flags flags, cl_buffer_create_type type, const void* info,
                                int* error = nullptr) const;
};

class nk_cl_context : public nk_cl_counted<cl_context> {
public:
    using nk_cl_counted::nk_cl_counted;
    static nk_cl_context retained(cl_context h);

    std::vector<nk_cl_device> devices() const;
    u32 reference_count() const;

    nk_cl_program create_program_with_source(const std::vector<std::string>& sources, int* error = nullptr) const;
    nk_cl_program create_program_with_binary(const std::vector<nk_cl_device>& devices,
                                             const std::vector<std::vector<unsigned char>>& binaries,
                                             int* binary_status = nullptr, int* error = nullptr) const;
    nk_cl_command_queue create_command_queue(const nk_cl_device& device, cl_command_queue_properties properties,
                                             int* error = nullptr) const;
    nk_cl_mem create_buffer(cl_mem_flags flags, size_t size, void* host_ptr, int* error = nullptr) const;
    nk_cl_mem create_image(cl_mem_flags flags, const cl_image_format* format, const cl_image_desc* desc,
                           void* host_ptr, int* error = nullptr) const;
    nk_cl_mem create_image_2d(cl_mem_flags flags, const cl_image_format* format, size_t width, size_t height,
                              size_t row_pitch, void* host_ptr, int* error = nullptr) const;
    nk_cl_mem create_image_3d(cl_mem_flags flags, const cl_image_format* format, size_t width, size_t height,
                              size_t depth, size_t row_pitch, size_t slice_pitch, void* host_ptr,
                              int* error = nullptr) const;
};

class nk_cl_program : public nk_cl_counted<cl_program> {
public:
    using nk_cl_counted::nk_cl_counted;
    static nk_cl_program retained(cl_program h);

    u32 reference_count() const;
    nk_cl_context context() const;
    std::vector<nk_cl_device> devices() const;
    std::string source() const;
    std::string kernel_names() const;
    std::vector<std::vector<unsigned char>> binaries() const;
    std::string build_log(const nk_cl_device& device) const;

    cl_int build(const std::vector<nk_cl_device>& devices, const char* options = nullptr,
                 t_nkClProgramNotify notify = nullptr, void* user_data = nullptr) const;
    std::vector<nk_cl_kernel> create_kernel() const;
    nk_cl_kernel create_kernel(const char* name) const;
};

class nk_cl_kernel : public nk_cl_counted<cl_kernel> {
public:
    using nk_cl_counted::nk_cl_counted;

    u32 reference_count() const;
    u32 num_args() const;
    nk_cl_context context() const;
    nk_cl_program program() const;
    std::string function_name() const;

    cl_int set_kernel_arg(u32 index, size_t size, const void* value) const;
    cl_int set_kernel_arg(u32 index, const nk_cl_mem& mem) const;
    // Argument i takes memory object i, stopping at the first failure.
    cl_int set_kernel_arg(const std::vector<nk_cl_mem>& mems) const;
};

class nk_cl_command_queue : public nk_cl_counted<cl_command_queue> {
public:
    using nk_cl_counted::nk_cl_counted;

    u32 reference_count() const;
    nk_cl_context context() const;
    nk_cl_device device() const;
    cl_command_queue_properties properties() const;

    cl_int enqueue_task(const nk_cl_kernel& kernel, cl_uint num_events = 0, const cl_event* wait_list = nullptr,
                        cl_event* event = nullptr) const;
    cl_int read_buffer(const nk_cl_mem& buffer, cl_bool blocking, size_t offset, size_t size, void* ptr,
                       cl_uint num_events = 0, const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int write_buffer(const nk_cl_mem& buffer, cl_bool blocking, size_t offset, size_t size, const void* ptr,
                        cl_uint num_events = 0, const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int read_image(const nk_cl_mem& image, cl_bool blocking, const size_t* origin, const size_t* region,
                      size_t row_pitch, size_t slice_pitch, void* ptr, cl_uint num_events = 0,
                      const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int write_image(const nk_cl_mem& image, cl_bool blocking, const size_t* origin, const size_t* region,
                       size_t row_pitch, size_t slice_pitch, const void* ptr, cl_uint num_events = 0,
                       const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int read_buffer_rect(const nk_cl_mem& buffer, cl_bool blocking, const size_t* buffer_origin,
                            const size_t* host_origin, const size_t* region, size_t buffer_row_pitch,
                            size_t buffer_slice_pitch, size_t host_row_pitch, size_t host_slice_pitch, void* ptr,
                            cl_uint num_events = 0, const cl_event* wait_list = nullptr,
                            cl_event* event = nullptr) const;
    cl_int write_buffer_rect(const nk_cl_mem& buffer, cl_bool blocking, const size_t* buffer_origin,
                             const size_t* host_origin, const size_t* region, size_t buffer_row_pitch,
                             size_t buffer_slice_pitch, size_t host_row_pitch, size_t host_slice_pitch,
                             const void* ptr, cl_uint num_events = 0, const cl_event* wait_list = nullptr,
                             cl_event* event = nullptr) const;
    cl_int copy_buffer(const nk_cl_mem& src, const nk_cl_mem& dst, size_t src_offset, size_t dst_offset, size_t size,
                       cl_uint num_events = 0, const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int copy_image(const nk_cl_mem& src, const nk_cl_mem& dst, const size_t* src_origin, const size_t* dst_origin,
                      const size_t* region, cl_uint num_events = 0, const cl_event* wait_list = nullptr,
                      cl_event* event = nullptr) const;
    cl_int copy_buffer_to_image(const nk_cl_mem& src, const nk_cl_mem& dst, size_t src_offset,
                                const size_t* dst_origin, const size_t* region, cl_uint num_events = 0,
                                const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int copy_image_to_buffer(const nk_cl_mem& src, const nk_cl_mem& dst, const size_t* src_origin,
                                const size_t* region, size_t dst_offset, cl_uint num_events = 0,
                                const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int copy_buffer_rect(const nk_cl_mem& src, const nk_cl_mem& dst, const size_t* src_origin,
                            const size_t* dst_origin, const size_t* region, size_t src_row_pitch,
                            size_t src_slice_pitch, size_t dst_row_pitch, size_t dst_slice_pitch,
                            cl_uint num_events = 0, const cl_event* wait_list = nullptr,
                            cl_event* event = nullptr) const;
    void* map_buffer(const nk_cl_mem& buffer, cl_bool blocking, cl_map_flags flags, size_t offset, size_t size,
                     cl_uint num_events = 0, const cl_event* wait_list = nullptr, cl_event* event = nullptr,
                     int* error = nullptr) const;
    void* map_image(const nk_cl_mem& image, cl_bool blocking, cl_map_flags flags, const size_t* origin,
                    const size_t* region, size_t* row_pitch, size_t* slice_pitch, cl_uint num_events = 0,
                    const cl_event* wait_list = nullptr, cl_event* event = nullptr, int* error = nullptr) const;
    cl_int unmap_mem_object(const nk_cl_mem& mem, void* mapped, cl_uint num_events = 0,
                            const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
    cl_int set_data_range(const nk_cl_kernel& kernel, cl_uint work_dim, const size_t* global_offset,
                          const size_t* global_size, const size_t* local_size, cl_uint num_events = 0,
                          const cl_event* wait_list = nullptr, cl_event* event = nullptr) const;
};

std::vector<nk_cl_platform> NkCl_getPlatformIDs();
nk_cl_context NkCl_createContext(const cl_context_properties* properties, const std::vector<nk_cl_device>& devices,
                                 t_nkClContextNotify notify, void* user_data, int* error);
nk_cl_context NkCl_createContextFromType(const cl_context_properties* properties, cl_device_type type,
                                         t_nkClContextNotify notify, void* user_data, int* error);
// A readable report of every platform and device.
void NkCl_printSystemInfo(FILE* stream);
