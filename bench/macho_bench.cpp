// SPDX-License-Identifier: MIT
// Verifying and re-signing a 64 MiB universal executable beside the floor, one SHA-256 pass over the
// same bytes (in process, and `openssl dgst -sha256` over the file): both should stay within 1.3x of it.

#include "platform/macho/resign.h"
#include "tests/macho_craft.h"

#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSliceCode = 32u << 20;

struct Executable {
    std::string bytes, infoPlist, patched;
    fs::path file;

    Executable()
    {
        craft::Shape shape;
        shape.codeSize = kSliceCode;
        infoPlist = shape.infoPlist;
        patched = "<plist><dict><key>NSUIElement</key><string>true</string></dict></plist>\n";
        const std::string arm = craft::Thin(shape).bytes;
        shape.is64 = false;
        bytes = craft::Fat({arm, craft::Thin(shape).bytes});
        file = fs::temp_directory_path() / ("veilor-macho-bench-" + std::to_string(::getpid()));
        std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }
    ~Executable() { fs::remove(file); }
};

const Executable& Sample()
{
    static const Executable executable;
    return executable;
}

void BM_Sha256InProcess(benchmark::State& state)
{
    const std::string& bytes = Sample().bytes;
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * bytes.size()));
}

void BM_OpensslDgstCommand(benchmark::State& state)
{
    const std::string command = "openssl dgst -sha256 '" + Sample().file.string() + "' >/dev/null";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("openssl dgst failed");
}

void BM_Verify(benchmark::State& state)
{
    const Executable& sample = Sample();
    for (auto _ : state) {
        macho::Result<macho::Verdict> verdict = macho::Verify({sample.bytes, sample.infoPlist, std::nullopt});
        if (!verdict || verdict->state != macho::State::Valid) state.SkipWithError("not valid");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * sample.bytes.size()));
}

void BM_ResignAdhoc(benchmark::State& state)
{
    const Executable& sample = Sample();
    for (auto _ : state) {
        macho::Result<macho::Resigned> resigned =
            macho::ResignAdHoc({sample.bytes, sample.patched, std::nullopt}, {});
        if (!resigned || resigned->decision.action != macho::Action::Resign)
            state.SkipWithError("not re-signed");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * sample.bytes.size()));
}

}  // namespace

// Medians of three: the machine is shared.
BENCHMARK(BM_Sha256InProcess)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK(BM_OpensslDgstCommand)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly()
    ->UseRealTime();
BENCHMARK(BM_Verify)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK(BM_ResignAdhoc)->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK_MAIN();
