#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "nk_cl.h"
#include "nk_test_util.h"

namespace {

const char* kSource =
    "__kernel void vadd(__global const float* a, __global const float* b, __global float* c) {\n"
    "    size_t i = get_global_id(0);\n"
    "    c[i] = a[i] + b[i] * 2.0f;\n"
    "}\n";

// The first device of the CPU platform, with its own context and queue.
struct ClRig {
    nk_cl_device device;
    nk_cl_context context;
    nk_cl_command_queue queue;

    ClRig() {
        for (const nk_cl_platform& p : NkCl_getPlatformIDs())
            for (const nk_cl_device& d : p.devices())
                if (!device.get()) device = d;
        if (!device.get()) return;
        int err = -1;
        context = NkCl_createContext(nullptr, {device}, nullptr, nullptr, &err);
        queue = context.create_command_queue(device, 0, &err);
    }

    nk_cl_program built() const {
        int err = -1;
        nk_cl_program p = context.create_program_with_source({kSource}, &err);
        EXPECT_EQ(err, CL_SUCCESS);
        EXPECT_EQ(p.build({device}), CL_SUCCESS) << p.build_log(device);
        return p;
    }
};

}  // namespace

TEST(ClDevice, PlatformsAndDevicesAreListed) {
    const auto platforms = NkCl_getPlatformIDs();
    ASSERT_FALSE(platforms.empty()) << "no OpenCL platform (pocl-opencl-icd is a dependency)";
    EXPECT_FALSE(platforms[0].name().empty());
    EXPECT_NE(platforms[0].version().find("OpenCL"), std::string::npos);
    const auto devices = platforms[0].devices();
    ASSERT_FALSE(devices.empty());
    const nk_cl_device& d = devices[0];
    EXPECT_FALSE(d.name().empty());
    EXPECT_GT(d.max_compute_units(), 0u);
    EXPECT_GE(d.max_work_item_dimensions(), 3u);
    EXPECT_GT(d.global_mem_size(), 0u);
    EXPECT_TRUE(d.compiler_available());
    EXPECT_TRUE(d.device_available());
    EXPECT_TRUE(d.is_little_endian());

    nktest::TempDir dir;
    FILE* f = std::fopen(dir.file("info.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    NkCl_printSystemInfo(f);
    std::fclose(f);
    const std::string text = nktest::readFile(dir.file("info.txt"));
    EXPECT_EQ(text.rfind("[OpenCL System Info]\n\t. ", 0), 0u);
    EXPECT_NE(text.find("\n[P_000] " + platforms[0].name() + " ["), std::string::npos);
    EXPECT_NE(text.find("\n\t[D_000, "), std::string::npos);
    EXPECT_NE(text.find("\t\t\t- half  : "), std::string::npos);
}

TEST(ClDevice, NoPlatformGivesAnEmptyListAndAShortReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, before OpenCL is loaded
    nktest::TempDir empty;
    const std::string vendors = empty.path().string();
    EXPECT_EXIT(
        {
            setenv("OCL_ICD_VENDORS", vendors.c_str(), 1);
            const bool none = NkCl_getPlatformIDs().empty();
            NkCl_printSystemInfo(stdout);
            std::fflush(stdout);
            std::_Exit(none ? 0 : 1);
        },
        testing::ExitedWithCode(0), "num_platforms>0");
}

TEST(ClDevice, KernelRunsAndResultsReadBack) {
    ClRig rig;
    ASSERT_FALSE(rig.queue.empty());
    EXPECT_EQ(rig.context.devices().size(), 1u);
    EXPECT_EQ(rig.queue.device().get(), rig.device.get());

    nk_cl_program program = rig.built();
    EXPECT_NE(program.kernel_names().find("vadd"), std::string::npos);
    EXPECT_EQ(program.source(), kSource);
    nk_cl_kernel k = program.create_kernel("vadd");
    ASSERT_FALSE(k.empty());
    EXPECT_EQ(k.num_args(), 3u);
    EXPECT_EQ(k.function_name(), "vadd");
    EXPECT_EQ(k.program().get(), program.get());
    EXPECT_EQ(k.context().get(), rig.context.get());

    const size_t n = 1024;
    std::vector<float> a(n), b(n), c(n, -1.0f);
    for (size_t i = 0; i < n; ++i) {
        a[i] = float(i);
        b[i] = float(n - i) * 0.5f;
    }
    int err = -1;
    nk_cl_mem ma = rig.context.create_buffer(CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, n * 4, a.data(), &err);
    nk_cl_mem mb = rig.context.create_buffer(CL_MEM_READ_ONLY, n * 4, nullptr, &err);
    nk_cl_mem mc = rig.context.create_buffer(CL_MEM_WRITE_ONLY, n * 4, nullptr, &err);
    ASSERT_EQ(err, CL_SUCCESS);
    EXPECT_EQ(mc.size(), n * 4);
    EXPECT_EQ(mb.context().get(), rig.context.get());
    ASSERT_EQ(rig.queue.write_buffer(mb, CL_TRUE, 0, n * 4, b.data()), CL_SUCCESS);
    ASSERT_EQ(k.set_kernel_arg({ma, mb, mc}), CL_SUCCESS);
    EXPECT_EQ(k.set_kernel_arg(std::vector<nk_cl_mem>{}), CL_SUCCESS);
    ASSERT_EQ(rig.queue.set_data_range(k, 1, nullptr, &n, nullptr), CL_SUCCESS);
    ASSERT_EQ(rig.queue.read_buffer(mc, CL_TRUE, 0, n * 4, c.data()), CL_SUCCESS);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(c[i], a[i] + b[i] * 2.0f) << i;

    // Mapped view and a device-side copy of the same data.
    nk_cl_mem copy = rig.context.create_buffer(CL_MEM_READ_WRITE, n * 4, nullptr, &err);
    ASSERT_EQ(rig.queue.copy_buffer(mc, copy, 0, 0, n * 4), CL_SUCCESS);
    auto* view = static_cast<float*>(rig.queue.map_buffer(copy, CL_TRUE, CL_MAP_READ, 0, n * 4, 0, nullptr,
                                                          nullptr, &err));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[7], c[7]);
    EXPECT_EQ(rig.queue.unmap_mem_object(copy, view), CL_SUCCESS);

    // Every kernel of the program at once.
    const auto all = program.create_kernel();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].function_name(), "vadd");
}

TEST(ClDevice, ReferenceCountsStayBalanced) {
    ClRig rig;
    ASSERT_FALSE(rig.queue.empty());
    nk_cl_program program = rig.built();
    nk_cl_kernel k = program.create_kernel("vadd");
    const u32 base = k.reference_count();
    {
        std::vector<nk_cl_kernel> v;
        v.push_back(k);
        nk_cl_kernel copy(k);
        EXPECT_EQ(k.reference_count(), base + 2);
        nk_cl_kernel assigned;
        assigned = copy;
        assigned = assigned;  // self-assignment keeps its one reference
        EXPECT_EQ(k.reference_count(), base + 3);
        nk_cl_kernel moved(std::move(copy));
        EXPECT_TRUE(copy.empty());
        assigned = std::move(moved);
        EXPECT_EQ(k.reference_count(), base + 2);
    }
    EXPECT_EQ(k.reference_count(), base);

    // Queries that name another object hold their own reference to it.
    const u32 ctxBase = rig.context.reference_count();
    {
        nk_cl_context c1 = program.context();
        nk_cl_context c2 = rig.queue.context();
        EXPECT_EQ(rig.context.reference_count(), ctxBase + 2);
    }
    EXPECT_EQ(rig.context.reference_count(), ctxBase);
}

TEST(ClDevice, SubBuffersBinariesAndRefusals) {
    ClRig rig;
    ASSERT_FALSE(rig.queue.empty());
    int err = -1;
    nk_cl_mem parent = rig.context.create_buffer(CL_MEM_READ_WRITE, 4096, nullptr, &err);
    const cl_buffer_region region = {1024, 512};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    nk_cl_mem refused = parent.create_sub_buffer(CL_MEM_COPY_HOST_PTR, CL_BUFFER_CREATE_TYPE_REGION, &region, &err);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(refused.empty());
    EXPECT_NE(out.find("SHOULD NOT"), std::string::npos);

    nk_cl_mem sub = parent.create_sub_buffer(CL_MEM_READ_WRITE, CL_BUFFER_CREATE_TYPE_REGION, &region, &err);
    ASSERT_FALSE(sub.empty());
    EXPECT_EQ(sub.offset(), 1024u);
    EXPECT_EQ(sub.size(), 512u);
    EXPECT_EQ(sub.associated_mem_object().get(), parent.get());

    // A program rebuilt from its own binaries.
    nk_cl_program program = rig.built();
    const auto bins = program.binaries();
    ASSERT_EQ(bins.size(), 1u);
    ASSERT_FALSE(bins[0].empty());
    nk_cl_program again = rig.context.create_program_with_binary({rig.device}, bins, nullptr, &err);
    ASSERT_EQ(err, CL_SUCCESS);
    testing::internal::CaptureStderr();
    (void)again.source();  // whatever OpenCL reports, never a wrapper failure
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(again.build({rig.device}), CL_SUCCESS);
    EXPECT_FALSE(again.create_kernel("vadd").empty());

    testing::internal::CaptureStderr();
    nk_cl_context none = NkCl_createContext(nullptr, {}, nullptr, nullptr, &err);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(rig.context.create_program_with_binary({rig.device}, {}, nullptr, &err).empty());
    EXPECT_TRUE(program.create_kernel("missing").empty());
    const std::string errText = testing::internal::GetCapturedStderr();
    EXPECT_NE(errText.find("\"devices.size()>0\""), std::string::npos);
    EXPECT_NE(errText.find("create_kernel"), std::string::npos);
}

TEST(ClDevice, ImageRoundTrip) {
    ClRig rig;
    ASSERT_FALSE(rig.queue.empty());
    const cl_image_format fmt = {CL_R, CL_FLOAT};
    int err = -1;
    nk_cl_mem img = rig.context.create_image_2d(CL_MEM_READ_WRITE, &fmt, 8, 4, 0, nullptr, &err);
    if (err == CL_IMAGE_FORMAT_NOT_SUPPORTED || err == CL_INVALID_OPERATION) GTEST_SKIP() << "no image support";
    ASSERT_EQ(err, CL_SUCCESS);
    EXPECT_EQ(img.width(), 8u);
    EXPECT_EQ(img.height(), 4u);
    EXPECT_EQ(img.element_size(), 4u);
    std::vector<float> in(32), back(32, 0.0f);
    for (size_t i = 0; i < 32; ++i) in[i] = float(i) * 1.5f;
    const size_t origin[3] = {0, 0, 0}, region[3] = {8, 4, 1};
    ASSERT_EQ(rig.queue.write_image(img, CL_TRUE, origin, region, 0, 0, in.data()), CL_SUCCESS);
    ASSERT_EQ(rig.queue.read_image(img, CL_TRUE, origin, region, 0, 0, back.data()), CL_SUCCESS);
    EXPECT_EQ(back, in);
}

// Calls on empty wrappers fail inside OpenCL: each is reported once with its own
// name and code, and hands back an empty result, never a read of what is not there.
TEST(ClDevice, FailedCallsReportAndGiveEmptyResults) {
    const nk_cl_device device;
    const nk_cl_kernel kernel;
    const nk_cl_command_queue queue;
    const nk_cl_mem mem;
    const nk_cl_program program;
    float buf[4] = {1, 2, 3, 4};
    int err = 0;

    testing::internal::CaptureStderr();
    EXPECT_EQ(device.name(), "");
    EXPECT_EQ(program.source(), "");
    EXPECT_EQ(device.max_compute_units(), 0u);
    EXPECT_EQ(kernel.reference_count(), 0u);
    EXPECT_TRUE(kernel.program().empty());
    EXPECT_TRUE(program.binaries().empty());
    EXPECT_NE(queue.read_buffer(mem, CL_TRUE, 0, sizeof buf, buf), CL_SUCCESS);
    EXPECT_EQ(queue.map_buffer(mem, CL_TRUE, CL_MAP_READ, 0, sizeof buf, 0, nullptr, nullptr, &err), nullptr);
    EXPECT_NE(err, CL_SUCCESS);
    const std::string reported = testing::internal::GetCapturedStderr();
    const std::pair<const char*, const char*> lines[] = {
        {"[Error,7]", "/name() ["},           {"[Error,7]", "/source() ["},
        {"[Error,7]", "/max_compute_units() ["}, {"[Error,0xFFFF]", "/reference_count() ["},
        {"[Error,7]", "/program() ["},        {"[Error,0xFFFF]", "/binaries() ["},
        {"[Error,7]", "/read_buffer() ["},    {"[Error,7]", "/map_buffer() ["},
    };
    for (const auto& [tag, func] : lines) {
        SCOPED_TRACE(func);
        const size_t at = reported.find(func);
        ASSERT_NE(at, std::string::npos) << reported;
        const size_t start = reported.rfind('\n', at) + 1;  // npos + 1 is 0
        EXPECT_EQ(reported.compare(start, std::strlen(tag), tag), 0);
        const std::string tail = " - \"cl_err==CL_SUCCESS\"]\n";
        EXPECT_EQ(reported.compare(reported.find(']', at + std::strlen(func)) + 1, tail.size(), tail), 0);
    }
    EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 8);
    EXPECT_EQ(buf[0], 1.0f);

    // These two hand back the OpenCL result without a report.
    testing::internal::CaptureStderr();
    EXPECT_NE(queue.unmap_mem_object(mem, buf), CL_SUCCESS);
    const size_t one = 1;
    EXPECT_NE(queue.set_data_range(kernel, 1, nullptr, &one, nullptr), CL_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
