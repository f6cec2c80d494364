#include "support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vcamtest {

const std::string& workDir() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kinovo-vcam-test.XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        return tmpl;
    }();
    return dir;
}

std::string logPath() { return workDir() + "/vcam.log"; }
std::string controlDir() { return workDir() + "/control"; }

LogMark::LogMark() {
    std::error_code ec;
    const auto size = std::filesystem::file_size(logPath(), ec);
    offset_ = ec ? 0 : static_cast<long>(size);
}

std::vector<std::string> LogMark::lines() const {
    std::ifstream in(logPath());
    in.seekg(offset_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::pair<int, std::string> run(const std::string& command) {
    std::string output;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return {-1, "popen failed"};
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
    const int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace vcamtest

// The virtual camera is preloaded ahead of the sanitizer runtime.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Before the first access to a node: the library reads these once.
    ::setenv("KINOVO_VCAM_PROFILE", VCAM_TEST_PROFILE, 0);
    std::filesystem::create_directories(vcamtest::controlDir());
    ::setenv("KINOVO_VCAM_LOG", vcamtest::logPath().c_str(), 1);
    ::setenv("KINOVO_VCAM_CONTROL_DIR", vcamtest::controlDir().c_str(), 1);
    const int rc = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(vcamtest::workDir(), ec);
    return rc;
}
