// SPDX-License-Identifier: MIT
// Reading and writing property lists of about 4 KiB (a typical Info.plist), 1 MiB and 32 MiB,
// against libplist on the same bytes in the same run, and XML reading also against pugixml's parse
// (a DOM of elements, no typed tree). Each benchmark reports its throughput and,
// from one untimed pass, the peak memory it allocated beyond what it was given ("peak_x_input":
// that peak over the size of the document read or written).

#include "platform/plist/plist.h"

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pugixml.hpp>
// libplist's own header, named by its full path: ours is plist/plist.h too.
#include VEILOR_LIBPLIST_HEADER

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Every allocation, ours (operator new ends here) and libplist's, goes through these while
// counting is on; the real work is glibc's.
#ifdef VEILOR_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
bool gCounting = false;
long long gLive = 0;  // since counting began; frees of older blocks take it below zero
long long gPeak = 0;

void* Noted(void* p)
{
    if (gCounting && p) {
        gLive += static_cast<long long>(malloc_usable_size(p));
        gPeak = std::max(gPeak, gLive);
    }
    return p;
}

void Forget(void* p)
{
    if (gCounting && p) gLive -= static_cast<long long>(malloc_usable_size(p));
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) noexcept
{
    return Noted(__libc_malloc(n));
}
void* calloc(std::size_t count, std::size_t n) noexcept
{
    return Noted(__libc_calloc(count, n));
}
void free(void* p) noexcept
{
    Forget(p);
    __libc_free(p);
}
void* realloc(void* p, std::size_t n) noexcept
{
    Forget(p);
    void* q = __libc_realloc(p, n);
    return Noted(q ? q : (n ? p : nullptr));
}
void* memalign(std::size_t alignment, std::size_t n) noexcept
{
    return Noted(__libc_memalign(alignment, n));
}
void* aligned_alloc(std::size_t alignment, std::size_t n) noexcept
{
    return Noted(__libc_memalign(alignment, n));
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) noexcept
{
    void* p = Noted(__libc_memalign(alignment, n));
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
#endif

namespace {

// Peak bytes allocated by `work` beyond what was live before it; -1 when not counted.
double PeakExtra(const std::function<void()>& work)
{
#ifdef VEILOR_COUNT_MALLOC
    gLive = 0;
    gPeak = 0;
    gCounting = true;
    work();
    gCounting = false;
    return static_cast<double>(gPeak);
#else
    work();
    return -1;
#endif
}

CFObjectZorpRef Str(const std::string& s)
{
    return plist::NewStringZorp(s);
}
CFObjectZorpRef Int(std::int64_t v)
{
    return std::make_shared<CFIntegerZorp>(static_cast<std::uint64_t>(v), false);
}
CFObjectZorpRef Bool(bool v)
{
    return std::make_shared<CFBooleanZorp>(v);
}

CFObjectZorpRef Strings(std::initializer_list<std::string> items)
{
    std::vector<CFObjectZorpRef> out;
    for (const auto& s : items) out.push_back(Str(s));
    return plist::NewArrayZorp(std::move(out));
}

struct Dict {
    CFMutableDictionaryZorpRef d = std::make_shared<CFMutableDictionaryZorp>();
    Dict& operator()(const std::string& key, CFObjectZorpRef value)
    {
        d->Set(Str(key), std::move(value));
        return *this;
    }
    operator CFObjectZorpRef() const { return d; }
};

// One application's Info.plist, varied by `n` so that no two are alike.
CFObjectZorpRef InfoPlist(int n)
{
    const std::string id = std::to_string(n);
    std::string blob(96, '\0');
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>((n * 31 + i * 7) & 0xFF);
    std::vector<CFObjectZorpRef> documentTypes;
    for (int t = 0; t < 3; ++t) {
        const std::string ext = "ext" + std::to_string((n + t) % 50);
        documentTypes.push_back(Dict()("CFBundleTypeName", Str("Document Type " + ext))(
            "CFBundleTypeRole", Str("Editor"))("CFBundleTypeExtensions", Strings({ext, ext + "x"}))(
            "LSItemContentTypes", Strings({"com.example." + ext}))("LSHandlerRank", Str("Owner"))(
            "CFBundleTypeIconFile", Str("Doc" + ext + ".icns")));
    }
    return Dict()("CFBundleDevelopmentRegion", Str("en"))("CFBundleExecutable", Str("Tool " + id))(
        "CFBundleIdentifier", Str("com.example.tool" + id))("CFBundleInfoDictionaryVersion", Str("6.0"))(
        "CFBundleName", Str("Tool " + id))("CFBundleDisplayName", Str("Example Tool " + id))(
        "CFBundlePackageType", Str("APPL"))("CFBundleSignature", Str("????"))(
        "CFBundleShortVersionString", Str(std::to_string(n % 7) + "." + std::to_string(n % 13) + ".1"))(
        "CFBundleVersion", Str(std::to_string(1000 + n)))("CFBundleIconFile", Str("AppIcon"))(
        "LSMinimumSystemVersion", Str("10.13"))("LSApplicationCategoryType",
                                                Str("public.app-category.utilities"))(
        "NSHumanReadableCopyright", Str("Copyright \xC2\xA9 2024 Example & Co. All rights reserved."))(
        "NSPrincipalClass", Str("NSApplication"))("NSMainNibFile", Str("MainMenu"))(
        "LSUIElement", Bool(false))("NSHighResolutionCapable",
                                    Bool(true))("NSSupportsAutomaticGraphicsSwitching", Bool(true))(
        "SUFeedURL", Str("https://updates.example.com/tool" + id + "/appcast.xml"))(
        "SUEnableAutomaticChecks", Bool(n % 2 == 0))("SUScheduledCheckInterval",
                                                     Int(86400))("BuildNumber", Int(20240000 + n))(
        "NSTimeout", Int(-3000 + n))("BuildDate", std::make_shared<CFDateZorp>(7.0e8 + n * 3600.0))(
        "Checksum", plist::NewBinaryDataZorp(blob))("CFBundleDocumentTypes",
                                                    plist::NewArrayZorp(std::move(documentTypes)))(
        "CFBundleURLTypes", plist::NewArrayZorp(std::vector<CFObjectZorpRef>{
                                Dict()("CFBundleURLName", Str("com.example.tool" + id + ".url"))(
                                    "CFBundleURLSchemes", Strings({"tool" + id, "example-tool"}))}))(
        "NSAppTransportSecurity",
        Dict()("NSAllowsArbitraryLoads", Bool(false))(
            "NSExceptionDomains",
            Dict()("example.com", Dict()("NSIncludesSubdomains", Bool(true))(
                                      "NSTemporaryExceptionMinimumTLSVersion", Str("TLSv1.2")))))(
        "NSServices",
        plist::NewArrayZorp(std::vector<CFObjectZorpRef>{Dict()("NSMenuItem",
                                                                Dict()("default", Str("Open in Tool " + id)))(
            "NSMessage", Str("openService"))("NSPortName", Str("Tool " + id))(
            "NSSendTypes", Strings({"NSStringPboardType", "public.plain-text"}))("NSTimeout", Int(3000))}))(
        "UIDeviceFamily", plist::NewArrayZorp(std::vector<CFObjectZorpRef>{Int(1), Int(2)}));
}

struct Input {
    std::string xml;
    std::string binary;
    CFObjectZorpRef tree;
};

// XML by our writer; binary by libplist's, from that XML.
const Input& MakeInput(std::size_t target)
{
    static std::map<std::size_t, Input> inputs;
    auto [it, added] = inputs.try_emplace(target);
    Input& in = it->second;
    if (!added) return in;
    if (target <= 8192) {
        in.tree = InfoPlist(0);
    } else {
        const std::size_t one = plist::WriteXML(*InfoPlist(1))->size();
        std::vector<CFObjectZorpRef> bundles;
        for (std::size_t i = 0; i < target / one; ++i) bundles.push_back(InfoPlist(static_cast<int>(i)));
        in.tree = Dict()("Bundles", plist::NewArrayZorp(std::move(bundles)));
    }
    in.xml = *plist::WriteXML(*in.tree);
    // Written as read, as libplist's tree is: one reading's objects together, not made one by one.
    in.tree = plist::Parse(in.xml).root;
    plist_t peer = nullptr;
    plist_from_xml(in.xml.data(), static_cast<std::uint32_t>(in.xml.size()), &peer);
    if (!peer) std::abort();
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(peer, &bin, &length);
    in.binary.assign(bin, length);
    plist_to_bin_free(bin);
    plist_free(peer);
    if (!plist::Parse(in.binary, plist::Format::Binary).root) std::abort();
    return in;
}

void Report(benchmark::State& state, std::size_t bytes, double peak)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["input_bytes"] = static_cast<double>(bytes);
    if (peak >= 0) {
        state.counters["peak_MiB"] = peak / (1024.0 * 1024.0);
        state.counters["peak_x_input"] = peak / static_cast<double>(bytes);
    }
}

// Each read also frees what it made, so the allocator's work on the tree counts once.
template <typename Result, typename Read, typename Release>
void TimeReads(benchmark::State& state, Read read, Release release)
{
    for (auto _ : state) {
        Result root = read();
        if (!root) state.SkipWithError("no root");
        release(root);
    }
}

void ReadXML(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    const double peak = PeakExtra([&] { benchmark::DoNotOptimize(plist::Parse(in.xml).root); });
    TimeReads<CFObjectZorpRef>(
        state, [&] { return plist::Parse(in.xml).root; }, [](CFObjectZorpRef& r) { r.reset(); });
    Report(state, in.xml.size(), peak);
}

void WriteXML(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    const double peak = PeakExtra([&] { benchmark::DoNotOptimize(plist::WriteXML(*in.tree)); });
    for (auto _ : state) {
        auto xml = plist::WriteXML(*in.tree);
        benchmark::DoNotOptimize(xml);
    }
    Report(state, in.xml.size(), peak);
}

// The same text handed over in the pieces it was written in, as a caller that streams it gets it.
void WriteXMLPieces(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    const auto write = [&] {
        std::size_t written = 0;
        plist::WriteXML(*in.tree, [&written](std::string_view piece) {
            benchmark::DoNotOptimize(piece.data());
            written += piece.size();
        });
        if (written != in.xml.size()) state.SkipWithError("short text");
    };
    const double peak = PeakExtra(write);
    for (auto _ : state) write();
    Report(state, in.xml.size(), peak);
}

void ReadBinary(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    const double peak = PeakExtra([&] { benchmark::DoNotOptimize(plist::Parse(in.binary).root); });
    TimeReads<CFObjectZorpRef>(
        state, [&] { return plist::Parse(in.binary).root; }, [](CFObjectZorpRef& r) { r.reset(); });
    Report(state, in.binary.size(), peak);
}

plist_t PeerRead(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    return root;
}

void PeerFree(plist_t& root)
{
    plist_free(root);
    root = nullptr;
}

void PeerReadXML(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    const double peak = PeakExtra([&] {
        plist_t root = PeerRead(in.xml);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    });
    TimeReads<plist_t>(
        state, [&] { return PeerRead(in.xml); }, PeerFree);
    Report(state, in.xml.size(), peak);
}

void PeerWriteXML(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    plist_t root = PeerRead(in.xml);
    auto write = [&] {
        char* xml = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(root, &xml, &length);
        benchmark::DoNotOptimize(xml);
        plist_to_xml_free(xml);
    };
    const double peak = PeakExtra(write);
    for (auto _ : state) write();
    plist_free(root);
    Report(state, in.xml.size(), peak);
}

void PeerReadBinary(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    auto read = [&] {
        plist_t root = nullptr;
        plist_from_bin(in.binary.data(), static_cast<std::uint32_t>(in.binary.size()), &root);
        return root;
    };
    const double peak = PeakExtra([&] {
        plist_t root = read();
        plist_free(root);
    });
    TimeReads<plist_t>(state, read, PeerFree);
    Report(state, in.binary.size(), peak);
}

void PugiReadXML(benchmark::State& state, std::size_t size)
{
    const Input& in = MakeInput(size);
    auto read = [&] {
        auto doc = std::make_unique<pugi::xml_document>();
        if (!doc->load_buffer(in.xml.data(), in.xml.size())) doc.reset();
        return doc;
    };
    const double peak = PeakExtra([&] { benchmark::DoNotOptimize(read()); });
    TimeReads<std::unique_ptr<pugi::xml_document>>(state, read, [](auto& doc) { doc.reset(); });
    Report(state, in.xml.size(), peak);
}

// Prints, after the usual table, each of our throughputs over libplist's for the same work.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // With repetitions, the median stands for the benchmark.
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) mRates[run.run_name.str()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-28s %12s %14s %8s %14s %8s\n", "work/size", "veilor MB/s", "libplist MB/s", "ratio",
                    "pugixml MB/s", "ratio");
        for (const auto& run : mRates) {
            const std::string& name = run.first;
            const double rate = run.second;
            const auto slash = name.find("/veilor/");
            if (slash == std::string::npos) continue;
            const std::string key = name.substr(0, slash) + name.substr(slash + 7);
            const auto peer = [&](const char* who) {
                auto it = mRates.find(name.substr(0, slash) + "/" + who + "/" + name.substr(slash + 8));
                return it == mRates.end() ? 0.0 : it->second;
            };
            const double libplist = peer("libplist"), pugixml = peer("pugixml");
            if (libplist == 0) continue;
            std::printf("%-28s %12.1f %14.1f %7.2fx", key.c_str(), rate / 1e6, libplist / 1e6,
                        rate / libplist);
            if (pugixml != 0) std::printf(" %14.1f %7.2fx", pugixml / 1e6, rate / pugixml);
            std::printf("\n");
        }
    }

private:
    std::map<std::string, double> mRates;
};

}  // namespace

int main(int argc, char** argv)
{
    struct Size {
        const char* name;
        std::size_t bytes;
    };
    const Size sizes[] = {{"4KiB", 4096}, {"1MiB", 1 << 20}, {"32MiB", 32u << 20}};
    using Work = void (*)(benchmark::State&, std::size_t);
    struct Bench {
        const char* name;
        Work veilor;
        Work peer;
        Work pugixml;  // pugixml parses XML only, and is measured where documents are large
    };
    const Bench benches[] = {
        {"xml_read", ReadXML, PeerReadXML, PugiReadXML},
        {"xml_write", WriteXML, PeerWriteXML, nullptr},
        {"xml_write_pieces", WriteXMLPieces, PeerWriteXML, nullptr},
        {"binary_read", ReadBinary, PeerReadBinary, nullptr},
    };
    for (const auto& size : sizes) {
        for (const auto& b : benches) {
            for (auto [who, work] : {std::pair{"veilor", b.veilor}, std::pair{"libplist", b.peer},
                                     std::pair{"pugixml", b.pugixml}}) {
                if (!work || (work == PugiReadXML && size.bytes < (1u << 20))) continue;
                const std::string name = std::string(b.name) + "/" + who + "/" + size.name;
                benchmark::RegisterBenchmark(name.c_str(), work, size.bytes)->Unit(benchmark::kMicrosecond);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
