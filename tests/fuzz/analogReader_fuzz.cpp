// libFuzzer target: any bytes as a recording file. The reader must refuse or
// read them without a crash, a hang or an unbounded allocation; what it reads
// must be self-consistent.

#include <unistd.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analog/analogReader.h"

namespace {

std::string& FuzzPath()
{
    static std::string path = [] {
        char pattern[] = "/tmp/qvfuzz-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) std::abort();
        ::close(fd);
        return std::string(pattern);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static wxInitializer initializer(*argc, *argv);
    delete wxLog::SetActiveTarget(nullptr);  // refusals log; keep the run quiet
    wxLog::EnableLogging(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = FuzzPath();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);

    CAnalogReader reader;
    if (!reader.Open(path)) return 0;
    if (reader.GetFrameCount() < 2 ||
        reader.GetMarkerCodes().size() != reader.GetMarkerLabels().size() ||
        reader.GetMarkerCodes().size() != reader.GetMarkerFrames().size())
        std::abort();
    const int64_t count = int64_t(reader.GetChannelCount()) * reader.GetDim();
    std::vector<double> frame(static_cast<size_t>(count > 0 ? count : 1));
    const int64_t last = reader.GetFrameCount() - 1;
    for (int64_t f : {int64_t(0), last / 2, last}) reader.GetFrame(frame.data(), count, f);
    if (reader.GetFrame(frame.data(), count, last + 1)) std::abort();
    return 0;
}
