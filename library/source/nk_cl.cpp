// OpenCL compute-device wrapper.
// The 1.1 image creation calls are part of what this layer offers on 1.2.
#define CL_USE_DEPRECATED_OPENCL_1_1_APIS
#include "nk_cl.h"

#include <cstring>

#include "nk_error.h"
#include "number/pf_number.h"

namespace {

constexpr const char* kCond = "cl_err==CL_SUCCESS";
constexpr const char* kCondCreate = "_cl_err==CL_SUCCESS";

void report(const char* func, u16 code, const char* cond) {
    nkDebug_printError(nullptr, __FILE__, nullptr, func, __LINE__, code, cond);
}

// Reports a failed action and hands its result back.
cl_int checked(cl_int err, const char* func, u16 code) {
    if (err != CL_SUCCESS) report(func, code, kCond);
    return err;
}

void setError(int* error, cl_int err) {
    if (error) *error = err;
}

// One clGet...Info call with the handle and parameter bound: (size, value, size_ret).
template <class T, class Get>
T scalarInfo(Get get, const char* func, u16 code) {
    T v{};
    if (get(sizeof(T), &v, nullptr) != CL_SUCCESS) {
        report(func, code, kCond);
        return T{};
    }
    return v;
}

// Size first, then the data.
template <class T, class Get>
std::vector<T> arrayInfo(Get get, const char* func, u16 code) {
    size_t bytes = 0;
    if (get(0, nullptr, &bytes) != CL_SUCCESS) {
        report(func, code, kCond);
        return {};
    }
    std::vector<T> v(bytes / sizeof(T));
    if (v.empty()) return v;
    if (get(v.size() * sizeof(T), v.data(), nullptr) != CL_SUCCESS) {
        report(func, code, kCond);
        return {};
    }
    return v;
}

template <class Get>
std::string textInfo(Get get, const char* func, u16 code) {
    std::vector<char> chars = arrayInfo<char>(get, func, code);
    if (chars.empty()) return {};  // a failed or empty query has no buffer to scan
    return std::string(chars.data(), strnlen(chars.data(), chars.size()));
}

// The count first, then the ids; none at all is a failure too. `get` is
// (count, ids, count_ret).
template <class T, class Get>
std::vector<T> countedIds(Get get, const char* func, const char* cond) {
    cl_uint n = 0;
    if (get(0, nullptr, &n) != CL_SUCCESS || n == 0) {
        report(func, kNKErr_unknown, cond);
        return {};
    }
    std::vector<T> ids(n);
    if (get(n, ids.data(), nullptr) != CL_SUCCESS) {
        report(func, kNKErr_unknown, cond);
        return {};
    }
    return ids;
}

#define NK_CL_GET(fn, handle, param) \
    [&](size_t sz, void* value, size_t* ret) { return fn(handle, param, sz, value, ret); }

std::vector<nk_cl_device> wrapDevices(const std::vector<cl_device_id>& ids) {
    return std::vector<nk_cl_device>(ids.begin(), ids.end());
}

std::vector<cl_device_id> deviceIds(const std::vector<nk_cl_device>& devices) {
    std::vector<cl_device_id> ids;
    for (const nk_cl_device& d : devices) ids.push_back(d.get());
    return ids;
}

}  // namespace

void nk_cl_detail::retain(cl_context h) { clRetainContext(h); }
void nk_cl_detail::release(cl_context h) { clReleaseContext(h); }
void nk_cl_detail::retain(cl_program h) { clRetainProgram(h); }
void nk_cl_detail::release(cl_program h) { clReleaseProgram(h); }
void nk_cl_detail::retain(cl_kernel h) { clRetainKernel(h); }
void nk_cl_detail::release(cl_kernel h) { clReleaseKernel(h); }
void nk_cl_detail::retain(cl_command_queue h) { clRetainCommandQueue(h); }
void nk_cl_detail::release(cl_command_queue h) { clReleaseCommandQueue(h); }
void nk_cl_detail::retain(cl_mem h) { clRetainMemObject(h); }
void nk_cl_detail::release(cl_mem h) { clReleaseMemObject(h); }

// ---------------------------------------------------------------------------
// Platforms and devices

std::vector<nk_cl_platform> NkCl_getPlatformIDs() {
    const std::vector<cl_platform_id> ids =
        countedIds<cl_platform_id>([](cl_uint n, cl_platform_id* out, cl_uint* count) {
            return clGetPlatformIDs(n, out, count);
        }, __func__, "cl_err==CL_SUCCESS && num_platforms>0");
    return std::vector<nk_cl_platform>(ids.begin(), ids.end());
}

std::vector<nk_cl_device> nk_cl_platform::devices() const {
    return wrapDevices(countedIds<cl_device_id>([&](cl_uint n, cl_device_id* out, cl_uint* count) {
        return clGetDeviceIDs(handle_, CL_DEVICE_TYPE_ALL, n, out, count);
    }, __func__, kCond));
}

#define NK_CL_PLATFORM_TEXT(method, param) \
    std::string nk_cl_platform::method() const { \
        return textInfo(NK_CL_GET(clGetPlatformInfo, handle_, param), __func__, kNKErr_invalidCondition); \
    }
NK_CL_PLATFORM_TEXT(name, CL_PLATFORM_NAME)
NK_CL_PLATFORM_TEXT(version, CL_PLATFORM_VERSION)
NK_CL_PLATFORM_TEXT(vendor, CL_PLATFORM_VENDOR)
NK_CL_PLATFORM_TEXT(profile, CL_PLATFORM_PROFILE)
NK_CL_PLATFORM_TEXT(extensions, CL_PLATFORM_EXTENSIONS)
#undef NK_CL_PLATFORM_TEXT

#define NK_CL_DEVICE_INFO(type, method, param, cast) \
    type nk_cl_device::method() const { \
        return static_cast<type>( \
            scalarInfo<cast>(NK_CL_GET(clGetDeviceInfo, handle_, param), __func__, kNKErr_invalidCondition)); \
    }
NK_CL_DEVICE_INFO(cl_device_type, type, CL_DEVICE_TYPE, cl_device_type)
NK_CL_DEVICE_INFO(u32, max_compute_units, CL_DEVICE_MAX_COMPUTE_UNITS, cl_uint)
NK_CL_DEVICE_INFO(u32, max_work_item_dimensions, CL_DEVICE_MAX_WORK_ITEM_DIMENSIONS, cl_uint)
NK_CL_DEVICE_INFO(u32, address_bits, CL_DEVICE_ADDRESS_BITS, cl_uint)
NK_CL_DEVICE_INFO(bool, is_little_endian, CL_DEVICE_ENDIAN_LITTLE, cl_bool)
NK_CL_DEVICE_INFO(bool, device_available, CL_DEVICE_AVAILABLE, cl_bool)
NK_CL_DEVICE_INFO(bool, compiler_available, CL_DEVICE_COMPILER_AVAILABLE, cl_bool)
NK_CL_DEVICE_INFO(u64, global_mem_size, CL_DEVICE_GLOBAL_MEM_SIZE, cl_ulong)
NK_CL_DEVICE_INFO(u64, global_mem_cache_size, CL_DEVICE_GLOBAL_MEM_CACHE_SIZE, cl_ulong)
NK_CL_DEVICE_INFO(u64, local_mem_size, CL_DEVICE_LOCAL_MEM_SIZE, cl_ulong)
NK_CL_DEVICE_INFO(u64, max_mem_alloc_size, CL_DEVICE_MAX_MEM_ALLOC_SIZE, cl_ulong)
NK_CL_DEVICE_INFO(u64, max_constant_buffer_size, CL_DEVICE_MAX_CONSTANT_BUFFER_SIZE, cl_ulong)
NK_CL_DEVICE_INFO(size_t, max_image2d_width, CL_DEVICE_IMAGE2D_MAX_WIDTH, size_t)
NK_CL_DEVICE_INFO(size_t, max_image2d_height, CL_DEVICE_IMAGE2D_MAX_HEIGHT, size_t)
NK_CL_DEVICE_INFO(size_t, max_image3d_width, CL_DEVICE_IMAGE3D_MAX_WIDTH, size_t)
NK_CL_DEVICE_INFO(size_t, max_image3d_height, CL_DEVICE_IMAGE3D_MAX_HEIGHT, size_t)
NK_CL_DEVICE_INFO(size_t, max_image3d_depth, CL_DEVICE_IMAGE3D_MAX_DEPTH, size_t)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_char, CL_DEVICE_PREFERRED_VECTOR_WIDTH_CHAR, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_short, CL_DEVICE_PREFERRED_VECTOR_WIDTH_SHORT, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_int, CL_DEVICE_PREFERRED_VECTOR_WIDTH_INT, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_long, CL_DEVICE_PREFERRED_VECTOR_WIDTH_LONG, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_float, CL_DEVICE_PREFERRED_VECTOR_WIDTH_FLOAT, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_double, CL_DEVICE_PREFERRED_VECTOR_WIDTH_DOUBLE, cl_uint)
NK_CL_DEVICE_INFO(u32, preferred_vector_width_half, CL_DEVICE_PREFERRED_VECTOR_WIDTH_HALF, cl_uint)
#undef NK_CL_DEVICE_INFO

std::string nk_cl_device::name() const {
    return textInfo(NK_CL_GET(clGetDeviceInfo, handle_, CL_DEVICE_NAME), __func__, kNKErr_invalidCondition);
}
std::string nk_cl_device::vendor() const {
    return textInfo(NK_CL_GET(clGetDeviceInfo, handle_, CL_DEVICE_VENDOR), __func__, kNKErr_invalidCondition);
}
std::string nk_cl_device::extensions() const {
    return textInfo(NK_CL_GET(clGetDeviceInfo, handle_, CL_DEVICE_EXTENSIONS), __func__, kNKErr_invalidCondition);
}

// ---------------------------------------------------------------------------
// Contexts

nk_cl_context NkCl_createContext(const cl_context_properties* properties, const std::vector<nk_cl_device>& devices,
                                 t_nkClContextNotify notify, void* user_data, int* error) {
    if (devices.empty()) {
        report(__func__, kNKErr_invalidParam, "devices.size()>0");
        setError(error, CL_INVALID_VALUE);
        return nk_cl_context();
    }
    const std::vector<cl_device_id> ids = deviceIds(devices);
    cl_int err = CL_SUCCESS;
    cl_context ctx = clCreateContext(properties, static_cast<cl_uint>(ids.size()), ids.data(), notify, user_data, &err);
    setError(error, err);
    if (err != CL_SUCCESS || !ctx) report(__func__, kNKErr_unknown, "cl_err==CL_SUCCESS && ctx != NULL");
    return nk_cl_context(err == CL_SUCCESS ? ctx : nullptr);
}

nk_cl_context NkCl_createContextFromType(const cl_context_properties* properties, cl_device_type type,
                                         t_nkClContextNotify notify, void* user_data, int* error) {
    cl_int err = CL_SUCCESS;
    cl_context ctx = clCreateContextFromType(properties, type, notify, user_data, &err);
    setError(error, err);
    if (err != CL_SUCCESS || !ctx) report(__func__, kNKErr_unknown, "cl_err==CL_SUCCESS && ctx != NULL");
    return nk_cl_context(err == CL_SUCCESS ? ctx : nullptr);
}

nk_cl_context nk_cl_context::retained(cl_context h) {
    if (h) nk_cl_detail::retain(h);
    return nk_cl_context(h);
}

std::vector<nk_cl_device> nk_cl_context::devices() const {
    return wrapDevices(arrayInfo<cl_device_id>(NK_CL_GET(clGetContextInfo, handle_, CL_CONTEXT_DEVICES), __func__,
                                               kNKErr_unknown));
}

u32 nk_cl_context::reference_count() const {
    return scalarInfo<cl_uint>(NK_CL_GET(clGetContextInfo, handle_, CL_CONTEXT_REFERENCE_COUNT), __func__,
                               kNKErr_unknown);
}

// Creation calls: one reference from OpenCL, or an empty wrapper after a report.
#define NK_CL_CREATED(Wrapper, call)                                  \
    cl_int err = CL_SUCCESS;                                          \
    auto h = call;                                                    \
    setError(error, err);                                             \
    if (err != CL_SUCCESS) {                                          \
        report(__func__, kNKErr_invalidParam, kCondCreate);           \
        return Wrapper();                                             \
    }                                                                 \
    return Wrapper(h);

nk_cl_program nk_cl_context::create_program_with_source(const std::vector<std::string>& sources, int* error) const {
    std::vector<const char*> texts;
    std::vector<size_t> lengths;
    for (const std::string& s : sources) {
        texts.push_back(s.c_str());
        lengths.push_back(s.size());
    }
    NK_CL_CREATED(nk_cl_program, clCreateProgramWithSource(handle_, static_cast<cl_uint>(texts.size()), texts.data(),
                                                           lengths.data(), &err))
}

nk_cl_program nk_cl_context::create_program_with_binary(const std::vector<nk_cl_device>& devices,
                                                        const std::vector<std::vector<unsigned char>>& binaries,
                                                        int* binary_status, int* error) const {
    const std::vector<cl_device_id> ids = deviceIds(devices);
    std::vector<const unsigned char*> bins;
    std::vector<size_t> lengths;
    for (const auto& b : binaries) {
        bins.push_back(b.data());
        lengths.push_back(b.size());
    }
    // OpenCL reads one binary per device.
    if (bins.size() != ids.size()) {
        report(__func__, kNKErr_invalidParam, kCond);
        setError(error, CL_INVALID_VALUE);
        return nk_cl_program();
    }
    cl_int err = CL_SUCCESS;
    cl_program h = clCreateProgramWithBinary(handle_, static_cast<cl_uint>(ids.size()), ids.data(), lengths.data(),
                                             bins.data(), binary_status, &err);
    setError(error, err);
    if (err != CL_SUCCESS) {
        report(__func__, kNKErr_invalidParam, kCond);
        return nk_cl_program();
    }
    return nk_cl_program(h);
}

nk_cl_command_queue nk_cl_context::create_command_queue(const nk_cl_device& device,
                                                        cl_command_queue_properties properties, int* error) const {
    NK_CL_CREATED(nk_cl_command_queue, clCreateCommandQueue(handle_, device.get(), properties, &err))
}

nk_cl_mem nk_cl_context::create_buffer(cl_mem_flags flags, size_t size, void* host_ptr, int* error) const {
    NK_CL_CREATED(nk_cl_mem, clCreateBuffer(handle_, flags, size, host_ptr, &err))
}

nk_cl_mem nk_cl_context::create_image(cl_mem_flags flags, const cl_image_format* format, const cl_image_desc* desc,
                                      void* host_ptr, int* error) const {
    NK_CL_CREATED(nk_cl_mem, clCreateImage(handle_, flags, format, desc, host_ptr, &err))
}

nk_cl_mem nk_cl_context::create_image_2d(cl_mem_flags flags, const cl_image_format* format, size_t width,
                                         size_t height, size_t row_pitch, void* host_ptr, int* error) const {
    NK_CL_CREATED(nk_cl_mem, clCreateImage2D(handle_, flags, format, width, height, row_pitch, host_ptr, &err))
}

nk_cl_mem nk_cl_context::create_image_3d(cl_mem_flags flags, const cl_image_format* format, size_t width,
                                         size_t height, size_t depth, size_t row_pitch, size_t slice_pitch,
                                         void* host_ptr, int* error) const {
    NK_CL_CREATED(nk_cl_mem, clCreateImage3D(handle_, flags, format, width, height, depth, row_pitch, slice_pitch,
                                             host_ptr, &err))
}

// ---------------------------------------------------------------------------
// Programs and kernels

nk_cl_program nk_cl_program::retained(cl_program h) {
    if (h) nk_cl_detail::retain(h);
    return nk_cl_program(h);
}

u32 nk_cl_program::reference_count() const {
    return scalarInfo<cl_uint>(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_REFERENCE_COUNT), __func__,
                               kNKErr_unknown);
}

nk_cl_context nk_cl_program::context() const {
    return nk_cl_context::retained(scalarInfo<cl_context>(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_CONTEXT),
                                                          __func__, kNKErr_invalidCondition));
}

std::vector<nk_cl_device> nk_cl_program::devices() const {
    return wrapDevices(
        arrayInfo<cl_device_id>(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_DEVICES), __func__, kNKErr_unknown));
}

std::string nk_cl_program::source() const {
    return textInfo(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_SOURCE), __func__, kNKErr_invalidCondition);
}

std::string nk_cl_program::kernel_names() const {
    return textInfo(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_KERNEL_NAMES), __func__, kNKErr_invalidCondition);
}

std::vector<std::vector<unsigned char>> nk_cl_program::binaries() const {
    const std::vector<size_t> sizes =
        arrayInfo<size_t>(NK_CL_GET(clGetProgramInfo, handle_, CL_PROGRAM_BINARY_SIZES), __func__, kNKErr_unknown);
    std::vector<std::vector<unsigned char>> bins(sizes.size());
    std::vector<unsigned char*> ptrs;
    for (size_t i = 0; i < sizes.size(); ++i) {
        bins[i].resize(sizes[i]);
        ptrs.push_back(bins[i].data());
    }
    if (ptrs.empty()) return bins;
    if (clGetProgramInfo(handle_, CL_PROGRAM_BINARIES, ptrs.size() * sizeof(unsigned char*), ptrs.data(), nullptr) !=
        CL_SUCCESS) {
        report(__func__, kNKErr_invalidCondition, kCond);
        return {};
    }
    return bins;
}

std::string nk_cl_program::build_log(const nk_cl_device& device) const {
    return textInfo(
        [&](size_t sz, void* v, size_t* ret) {
            return clGetProgramBuildInfo(handle_, device.get(), CL_PROGRAM_BUILD_LOG, sz, v, ret);
        },
        __func__, kNKErr_invalidCondition);
}

cl_int nk_cl_program::build(const std::vector<nk_cl_device>& devices, const char* options,
                            t_nkClProgramNotify notify, void* user_data) const {
    const std::vector<cl_device_id> ids = deviceIds(devices);
    return clBuildProgram(handle_, static_cast<cl_uint>(ids.size()), ids.empty() ? nullptr : ids.data(), options,
                          notify, user_data);
}

std::vector<nk_cl_kernel> nk_cl_program::create_kernel() const {
    cl_uint n = 0;
    if (clCreateKernelsInProgram(handle_, 0, nullptr, &n) != CL_SUCCESS) {
        report(__func__, kNKErr_invalidParam, kCond);
        return {};
    }
    std::vector<cl_kernel> ks(n);
    if (n == 0) return {};
    if (clCreateKernelsInProgram(handle_, n, ks.data(), nullptr) != CL_SUCCESS) {
        report(__func__, kNKErr_invalidParam, kCond);
        return {};
    }
    std::vector<nk_cl_kernel> out;
    for (cl_kernel k : ks) out.emplace_back(k);
    return out;
}

nk_cl_kernel nk_cl_program::create_kernel(const char* name) const {
    cl_int err = CL_SUCCESS;
    cl_kernel k = clCreateKernel(handle_, name, &err);
    if (err != CL_SUCCESS) {
        report(__func__, kNKErr_invalidParam, kCond);
        return nk_cl_kernel();
    }
    return nk_cl_kernel(k);
}

u32 nk_cl_kernel::reference_count() const {
    return scalarInfo<cl_uint>(NK_CL_GET(clGetKernelInfo, handle_, CL_KERNEL_REFERENCE_COUNT), __func__,
                               kNKErr_unknown);
}

u32 nk_cl_kernel::num_args() const {
    return scalarInfo<cl_uint>(NK_CL_GET(clGetKernelInfo, handle_, CL_KERNEL_NUM_ARGS), __func__, kNKErr_unknown);
}

nk_cl_context nk_cl_kernel::context() const {
    return nk_cl_context::retained(scalarInfo<cl_context>(NK_CL_GET(clGetKernelInfo, handle_, CL_KERNEL_CONTEXT),
                                                          __func__, kNKErr_invalidCondition));
}

nk_cl_program nk_cl_kernel::program() const {
    return nk_cl_program::retained(scalarInfo<cl_program>(NK_CL_GET(clGetKernelInfo, handle_, CL_KERNEL_PROGRAM),
                                                          __func__, kNKErr_invalidCondition));
}

std::string nk_cl_kernel::function_name() const {
    return textInfo(NK_CL_GET(clGetKernelInfo, handle_, CL_KERNEL_FUNCTION_NAME), __func__, kNKErr_invalidCondition);
}

cl_int nk_cl_kernel::set_kernel_arg(u32 index, size_t size, const void* value) const {
    return checked(clSetKernelArg(handle_, index, size, value), __func__, kNKErr_unknown);
}

cl_int nk_cl_kernel::set_kernel_arg(u32 index, const nk_cl_mem& mem) const {
    const cl_mem h = mem.get();
    return checked(clSetKernelArg(handle_, index, sizeof(cl_mem), &h), __func__, kNKErr_unknown);
}

cl_int nk_cl_kernel::set_kernel_arg(const std::vector<nk_cl_mem>& mems) const {
    for (size_t i = 0; i < mems.size(); ++i) {
        const cl_mem h = mems[i].get();
        const cl_int err = clSetKernelArg(handle_, static_cast<cl_uint>(i), sizeof(cl_mem), &h);
        if (err != CL_SUCCESS) return checked(err, __func__, kNKErr_unknown);
    }
    return CL_SUCCESS;
}

// ---------------------------------------------------------------------------
// Command queues

u32 nk_cl_command_queue::reference_count() const {
    return scalarInfo<cl_uint>(NK_CL_GET(clGetCommandQueueInfo, handle_, CL_QUEUE_REFERENCE_COUNT), __func__,
                               kNKErr_unknown);
}

nk_cl_context nk_cl_command_queue::context() const {
    return nk_cl_context::retained(scalarInfo<cl_context>(
        NK_CL_GET(clGetCommandQueueInfo, handle_, CL_QUEUE_CONTEXT), __func__, kNKErr_invalidCondition));
}

nk_cl_device nk_cl_command_queue::device() const {
    return nk_cl_device(scalarInfo<cl_device_id>(NK_CL_GET(clGetCommandQueueInfo, handle_, CL_QUEUE_DEVICE),
                                                 __func__, kNKErr_invalidCondition));
}

cl_command_queue_properties nk_cl_command_queue::properties() const {
    return scalarInfo<cl_command_queue_properties>(NK_CL_GET(clGetCommandQueueInfo, handle_, CL_QUEUE_PROPERTIES),
                                                   __func__, kNKErr_invalidCondition);
}

#define NK_CL_ENQ(call) return checked(call, __func__, kNKErr_invalidCondition)

cl_int nk_cl_command_queue::enqueue_task(const nk_cl_kernel& kernel, cl_uint num_events, const cl_event* wait_list,
                                         cl_event* event) const {
    NK_CL_ENQ(clEnqueueTask(handle_, kernel.get(), num_events, wait_list, event));
}

cl_int nk_cl_command_queue::read_buffer(const nk_cl_mem& buffer, cl_bool blocking, size_t offset, size_t size,
                                        void* ptr, cl_uint num_events, const cl_event* wait_list,
                                        cl_event* event) const {
    NK_CL_ENQ(clEnqueueReadBuffer(handle_, buffer.get(), blocking, offset, size, ptr, num_events, wait_list, event));
}

cl_int nk_cl_command_queue::write_buffer(const nk_cl_mem& buffer, cl_bool blocking, size_t offset, size_t size,
                                         const void* ptr, cl_uint num_events, const cl_event* wait_list,
                                         cl_event* event) const {
    NK_CL_ENQ(clEnqueueWriteBuffer(handle_, buffer.get(), blocking, offset, size, ptr, num_events, wait_list, event));
}

cl_int nk_cl_command_queue::read_image(const nk_cl_mem& image, cl_bool blocking, const size_t* origin,
                                       const size_t* region, size_t row_pitch, size_t slice_pitch, void* ptr,
                                       cl_uint num_events, const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueReadImage(handle_, image.get(), blocking, origin, region, row_pitch, slice_pitch, ptr,
                                 num_events, wait_list, event));
}

cl_int nk_cl_command_queue::write_image(const nk_cl_mem& image, cl_bool blocking, const size_t* origin,
                                        const size_t* region, size_t row_pitch, size_t slice_pitch, const void* ptr,
                                        cl_uint num_events, const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueWriteImage(handle_, image.get(), blocking, origin, region, row_pitch, slice_pitch, ptr,
                                  num_events, wait_list, event));
}

cl_int nk_cl_command_queue::read_buffer_rect(const nk_cl_mem& buffer, cl_bool blocking, const size_t* buffer_origin,
                                             const size_t* host_origin, const size_t* region,
                                             size_t buffer_row_pitch, size_t buffer_slice_pitch,
                                             size_t host_row_pitch, size_t host_slice_pitch, void* ptr,
                                             cl_uint num_events, const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueReadBufferRect(handle_, buffer.get(), blocking, buffer_origin, host_origin, region,
                                      buffer_row_pitch, buffer_slice_pitch, host_row_pitch, host_slice_pitch, ptr,
                                      num_events, wait_list, event));
}

cl_int nk_cl_command_queue::write_buffer_rect(const nk_cl_mem& buffer, cl_bool blocking,
                                              const size_t* buffer_origin, const size_t* host_origin,
                                              const size_t* region, size_t buffer_row_pitch,
                                              size_t buffer_slice_pitch, size_t host_row_pitch,
                                              size_t host_slice_pitch, const void* ptr, cl_uint num_events,
                                              const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueWriteBufferRect(handle_, buffer.get(), blocking, buffer_origin, host_origin, region,
                                       buffer_row_pitch, buffer_slice_pitch, host_row_pitch, host_slice_pitch, ptr,
                                       num_events, wait_list, event));
}

cl_int nk_cl_command_queue::copy_buffer(const nk_cl_mem& src, const nk_cl_mem& dst, size_t src_offset,
                                        size_t dst_offset, size_t size, cl_uint num_events,
                                        const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueCopyBuffer(handle_, src.get(), dst.get(), src_offset, dst_offset, size, num_events, wait_list,
                                  event));
}

cl_int nk_cl_command_queue::copy_image(const nk_cl_mem& src, const nk_cl_mem& dst, const size_t* src_origin,
                                       const size_t* dst_origin, const size_t* region, cl_uint num_events,
                                       const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueCopyImage(handle_, src.get(), dst.get(), src_origin, dst_origin, region, num_events, wait_list,
                                 event));
}

cl_int nk_cl_command_queue::copy_buffer_to_image(const nk_cl_mem& src, const nk_cl_mem& dst, size_t src_offset,
                                                 const size_t* dst_origin, const size_t* region, cl_uint num_events,
                                                 const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueCopyBufferToImage(handle_, src.get(), dst.get(), src_offset, dst_origin, region, num_events,
                                         wait_list, event));
}

cl_int nk_cl_command_queue::copy_image_to_buffer(const nk_cl_mem& src, const nk_cl_mem& dst,
                                                 const size_t* src_origin, const size_t* region, size_t dst_offset,
                                                 cl_uint num_events, const cl_event* wait_list,
                                                 cl_event* event) const {
    NK_CL_ENQ(clEnqueueCopyImageToBuffer(handle_, src.get(), dst.get(), src_origin, region, dst_offset, num_events,
                                         wait_list, event));
}

cl_int nk_cl_command_queue::copy_buffer_rect(const nk_cl_mem& src, const nk_cl_mem& dst, const size_t* src_origin,
                                             const size_t* dst_origin, const size_t* region, size_t src_row_pitch,
                                             size_t src_slice_pitch, size_t dst_row_pitch, size_t dst_slice_pitch,
                                             cl_uint num_events, const cl_event* wait_list, cl_event* event) const {
    NK_CL_ENQ(clEnqueueCopyBufferRect(handle_, src.get(), dst.get(), src_origin, dst_origin, region, src_row_pitch,
                                      src_slice_pitch, dst_row_pitch, dst_slice_pitch, num_events, wait_list, event));
}
#undef NK_CL_ENQ

void* nk_cl_command_queue::map_buffer(const nk_cl_mem& buffer, cl_bool blocking, cl_map_flags flags, size_t offset,
                                      size_t size, cl_uint num_events, const cl_event* wait_list, cl_event* event,
                                      int* error) const {
    cl_int err = CL_SUCCESS;
    void* p = clEnqueueMapBuffer(handle_, buffer.get(), blocking, flags, offset, size, num_events, wait_list, event,
                                 &err);
    setError(error, err);
    if (err != CL_SUCCESS) {
        report(__func__, kNKErr_invalidCondition, kCond);
        return nullptr;
    }
    return p;
}

void* nk_cl_command_queue::map_image(const nk_cl_mem& image, cl_bool blocking, cl_map_flags flags,
                                     const size_t* origin, const size_t* region, size_t* row_pitch,
                                     size_t* slice_pitch, cl_uint num_events, const cl_event* wait_list,
                                     cl_event* event, int* error) const {
    cl_int err = CL_SUCCESS;
    void* p = clEnqueueMapImage(handle_, image.get(), blocking, flags, origin, region, row_pitch, slice_pitch,
                                num_events, wait_list, event, &err);
    setError(error, err);
    if (err != CL_SUCCESS) {
        report(__func__, kNKErr_invalidCondition, kCond);
        return nullptr;
    }
    return p;
}

cl_int nk_cl_command_queue::unmap_mem_object(const nk_cl_mem& mem, void* mapped, cl_uint num_events,
                                             const cl_event* wait_list, cl_event* event) const {
    return clEnqueueUnmapMemObject(handle_, mem.get(), mapped, num_events, wait_list, event);
}

cl_int nk_cl_command_queue::set_data_range(const nk_cl_kernel& kernel, cl_uint work_dim,
                                           const size_t* global_offset, const size_t* global_size,
                                           const size_t* local_size, cl_uint num_events, const cl_event* wait_list,
                                           cl_event* event) const {
    return clEnqueueNDRangeKernel(handle_, kernel.get(), work_dim, global_offset, global_size, local_size,
                                  num_events, wait_list, event);
}

// ---------------------------------------------------------------------------
// Memory objects

nk_cl_mem nk_cl_mem::retained(cl_mem h) {
    if (h) nk_cl_detail::retain(h);
    return nk_cl_mem(h);
}

#define NK_CL_MEM_INFO(type, method, fn, param, code) \
    type nk_cl_mem::method() const { \
        return static_cast<type>(scalarInfo<type>(NK_CL_GET(fn, handle_, param), __func__, code)); \
    }
NK_CL_MEM_INFO(u32, reference_count, clGetMemObjectInfo, CL_MEM_REFERENCE_COUNT, kNKErr_unknown)
NK_CL_MEM_INFO(u32, map_count, clGetMemObjectInfo, CL_MEM_MAP_COUNT, kNKErr_unknown)
NK_CL_MEM_INFO(u32, type, clGetMemObjectInfo, CL_MEM_TYPE, kNKErr_unknown)
NK_CL_MEM_INFO(cl_mem_flags, flags, clGetMemObjectInfo, CL_MEM_FLAGS, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, size, clGetMemObjectInfo, CL_MEM_SIZE, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, offset, clGetMemObjectInfo, CL_MEM_OFFSET, kNKErr_unknown)
NK_CL_MEM_INFO(void*, host_ptr, clGetMemObjectInfo, CL_MEM_HOST_PTR, kNKErr_unknown)
NK_CL_MEM_INFO(cl_image_format, format, clGetImageInfo, CL_IMAGE_FORMAT, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, element_size, clGetImageInfo, CL_IMAGE_ELEMENT_SIZE, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, row_pitch, clGetImageInfo, CL_IMAGE_ROW_PITCH, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, slice_pitch, clGetImageInfo, CL_IMAGE_SLICE_PITCH, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, width, clGetImageInfo, CL_IMAGE_WIDTH, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, height, clGetImageInfo, CL_IMAGE_HEIGHT, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, depth, clGetImageInfo, CL_IMAGE_DEPTH, kNKErr_unknown)
NK_CL_MEM_INFO(size_t, array_size, clGetImageInfo, CL_IMAGE_ARRAY_SIZE, kNKErr_unknown)
NK_CL_MEM_INFO(u32, mip_levels, clGetImageInfo, CL_IMAGE_NUM_MIP_LEVELS, kNKErr_unknown)
NK_CL_MEM_INFO(u32, num_samples, clGetImageInfo, CL_IMAGE_NUM_SAMPLES, kNKErr_unknown)
#undef NK_CL_MEM_INFO

nk_cl_context nk_cl_mem::context() const {
    return nk_cl_context::retained(scalarInfo<cl_context>(NK_CL_GET(clGetMemObjectInfo, handle_, CL_MEM_CONTEXT),
                                                          __func__, kNKErr_invalidCondition));
}

nk_cl_mem nk_cl_mem::associated_mem_object() const {
    return retained(scalarInfo<cl_mem>(NK_CL_GET(clGetMemObjectInfo, handle_, CL_MEM_ASSOCIATED_MEMOBJECT), __func__,
                                       kNKErr_invalidCondition));
}

nk_cl_mem nk_cl_mem::buffer() const {
    return retained(
        scalarInfo<cl_mem>(NK_CL_GET(clGetImageInfo, handle_, CL_IMAGE_BUFFER), __func__, kNKErr_invalidCondition));
}

nk_cl_mem nk_cl_mem::create_sub_buffer(cl_mem_flags flags, cl_buffer_create_type type, const void* info,
                                       int* error) const {
    // Host-pointer flags are inherited from the parent buffer; OpenCL refuses them here.
    if (flags & (CL_MEM_USE_HOST_PTR | CL_MEM_ALLOC_HOST_PTR | CL_MEM_COPY_HOST_PTR)) {
        std::printf("[ERR] v1.2 | Sec. 5.2.1 - The CL_MEM_USE_HOST_PTR, CL_MEM_ALLOC_HOST_PTR and "
                    "CL_MEM_COPY_HOST_PTR values\nSHOULD NOT\n be specified in flags but are inherited from the "
                    "corresponding memory access qualifiers associated with buffer.");
        report(__func__, kNKErr_invalidParam, "");
        setError(error, CL_INVALID_VALUE);
        return nk_cl_mem();
    }
    NK_CL_CREATED(nk_cl_mem, clCreateSubBuffer(handle_, flags, type, info, &err))
}
#undef NK_CL_CREATED

// ---------------------------------------------------------------------------
// System report

namespace {

const char* deviceTypeName(cl_device_type t) {
    switch (t) {
        case CL_DEVICE_TYPE_DEFAULT: return "DEFAULT";
        case CL_DEVICE_TYPE_CPU: return "CPU";
        case CL_DEVICE_TYPE_GPU: return "GPU";
        case CL_DEVICE_TYPE_ACCELERATOR: return "ACCELERATOR";
        case CL_DEVICE_TYPE_CUSTOM: return "CUSTOM";
        case CL_DEVICE_TYPE_ALL: return "ALL";
        default: return "UNKNOWN";
    }
}

const char* yesNo(bool b) { return b ? "YES" : "NO"; }

}  // namespace

void NkCl_printSystemInfo(FILE* stream) {
    if (!stream) return;
    const std::vector<nk_cl_platform> platforms = NkCl_getPlatformIDs();
    std::fprintf(stream, "[OpenCL System Info]\n\t. %ld platforms\n", static_cast<long>(platforms.size()));
    for (size_t p = 0; p < platforms.size(); ++p) {
        const nk_cl_platform& pf = platforms[p];
        const std::vector<nk_cl_device> devices = pf.devices();
        std::fprintf(stream, "\n[P_%03d] %s [%s, vedor: %s]\n\t. %ld devices\n", static_cast<int>(p),
                     pf.name().c_str(), pf.version().c_str(), pf.vendor().c_str(), static_cast<long>(devices.size()));
        for (size_t d = 0; d < devices.size(); ++d) {
            const nk_cl_device& dv = devices[d];
            std::fprintf(stream, "\n\t[D_%03d, %s] %s\n", static_cast<int>(d), deviceTypeName(dv.type()),
                         dv.name().c_str());
            std::fprintf(stream, "\t\t. vendor:             %s\n", dv.vendor().c_str());
            std::fprintf(stream, "\t\t. max_compute_units:  %d\n", static_cast<int>(dv.max_compute_units()));
            std::fprintf(stream, "\t\t. endianess:          %s\n", dv.is_little_endian() ? "little endian" : "big endian");
            std::fprintf(stream, "\t\t. max work item dimension: %u\n", dv.max_work_item_dimensions());
            std::fprintf(stream, "\t\t. mem size\n");
            pf::number::print(stream, "\t\t\t- global:      %10.3f MB\n",
                         static_cast<double>(static_cast<float>(dv.global_mem_size()) / 1048576.0f));
            std::fprintf(stream, "\t\t\t- global cache:%10llu B\n",
                         static_cast<unsigned long long>(dv.global_mem_cache_size()));
            pf::number::print(stream, "\t\t\t- local:       %10.3f KB\n",
                         static_cast<double>(static_cast<float>(dv.local_mem_size()) / 1024.0f));
            std::fprintf(stream, "\t\t. address_bits:       %d\n", static_cast<int>(dv.address_bits()));
            std::fprintf(stream, "\t\t. device_available:   %s\n", yesNo(dv.device_available()));
            std::fprintf(stream, "\t\t. compiler_available: %s\n", yesNo(dv.compiler_available()));
            pf::number::print(stream, "\t\t. max buffer size:    %.1f MB\n",
                         static_cast<double>(static_cast<float>(dv.max_mem_alloc_size()) / 1048576.0f));
            std::fprintf(stream, "\t\t. max image2d:        %llu x %llu\n",
                         static_cast<unsigned long long>(dv.max_image2d_width()),
                         static_cast<unsigned long long>(dv.max_image2d_height()));
            std::fprintf(stream, "\t\t. max image3d:        %llu x %llu x %llu\n",
                         static_cast<unsigned long long>(dv.max_image3d_width()),
                         static_cast<unsigned long long>(dv.max_image3d_height()),
                         static_cast<unsigned long long>(dv.max_image3d_depth()));
            std::fprintf(stream, "\t\t. is double supported:%s\n", yesNo(dv.is_double_supported()));
            std::fprintf(stream, "\t\t. is half supported:  %s\n", yesNo(dv.is_half_supported()));
            std::fprintf(stream, "\t\t. preferred vector width\n");
            std::fprintf(stream, "\t\t\t- char  : %u\n", dv.preferred_vector_width_char());
            std::fprintf(stream, "\t\t\t- short : %u\n", dv.preferred_vector_width_short());
            std::fprintf(stream, "\t\t\t- int   : %u\n", dv.preferred_vector_width_int());
            std::fprintf(stream, "\t\t\t- float : %u\n", dv.preferred_vector_width_float());
            std::fprintf(stream, "\t\t\t- double: %u\n", dv.preferred_vector_width_double());
            std::fprintf(stream, "\t\t\t- half  : %u\n", dv.preferred_vector_width_half());
        }
    }
}
