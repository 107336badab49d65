// SPDX-License-Identifier: MIT
// Throughput of the encryption service next to two bare OpenSSL EVP loops doing the same
// whole-buffer work: one context per call, the key set up per call, and an output buffer of the
// input length + 32. "bare" names the cipher with EVP_aes_128_*(), which OpenSSL 3 looks up in
// its providers on every init; "fetched" fetches it once, as the service does. After the usual
// table it prints the service/bare and service/fetched ratios of every case (medians when the
// run has repetitions).
#include <zendra/encryptionservice.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

using zendra::EncryptionService;

namespace {

const QString benchId = QStringLiteral("bench");
const QByteArray benchKey = QByteArray::fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const QByteArray benchIv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const int sizes[] = {16, 1 << 10, 64 << 10, 1 << 20, 64 << 20};

enum class Op { Encrypt, Decrypt };

QByteArray plaintext(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + 7) & 0xff);
    return data;
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

const EVP_CIPHER *fetchedCipher(bool cbc)
{
    static EVP_CIPHER *const fetchedCbc = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    static EVP_CIPHER *const fetchedEcb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    return cbc ? fetchedCbc : fetchedEcb;
}

// What a caller of OpenSSL would write by hand for one whole buffer.
std::unique_ptr<unsigned char[]> bareCipher(
    bool cbc, bool fetched, Op op, const QByteArray &input, int *length)
{
    const int size = int(input.size());
    std::unique_ptr<unsigned char[]> output(new unsigned char[size + 32]);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(
        EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const EVP_CIPHER *cipher = fetched ? fetchedCipher(cbc)
        : cbc                          ? EVP_aes_128_cbc()
                                       : EVP_aes_128_ecb();
    const unsigned char *iv = cbc ? bytes(benchIv) : nullptr;
    int written = 0;
    int finalWritten = 0;
    const bool ok = op == Op::Encrypt
        ? EVP_EncryptInit_ex(context.get(), cipher, nullptr, bytes(benchKey), iv) == 1
            && EVP_EncryptUpdate(context.get(), output.get(), &written, bytes(input), size) == 1
            && EVP_EncryptFinal_ex(context.get(), output.get() + written, &finalWritten) == 1
        : EVP_DecryptInit_ex(context.get(), cipher, nullptr, bytes(benchKey), iv) == 1
            && EVP_DecryptUpdate(context.get(), output.get(), &written, bytes(input), size) == 1
            && EVP_DecryptFinal_ex(context.get(), output.get() + written, &finalWritten) == 1;
    *length = ok ? written + finalWritten : -1;
    return output;
}

// The input of the measured call: the plaintext, or its encryption for the decrypt cases.
QByteArray inputFor(EncryptionService &service, bool cbc, Op op, int size)
{
    const QByteArray plain = plaintext(size);
    if (op == Op::Encrypt)
        return plain;
    return cbc ? service.encryptAES_CBC(benchId, plain, QByteArray())
               : service.encryptAES_ECB(benchId, plain);
}

void serviceBenchmark(benchmark::State &state, bool cbc, Op op)
{
    EncryptionService service;
    service.init_CBC(benchId, benchKey, benchIv);
    const int size = int(state.range(0));
    const QByteArray input = inputFor(service, cbc, op, size);
    for (auto _ : state) {
        QByteArray output;
        if (cbc) {
            output = op == Op::Encrypt ? service.encryptAES_CBC(benchId, input, QByteArray())
                                       : service.decryptAES_CBC(benchId, input, QByteArray());
        } else {
            output = op == Op::Encrypt ? service.encryptAES_ECB(benchId, input)
                                       : service.decryptAES_ECB(benchId, input);
        }
        if (output.isEmpty()) {
            state.SkipWithError("the service failed");
            break;
        }
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void bareBenchmark(benchmark::State &state, bool cbc, bool fetched, Op op)
{
    EncryptionService service;
    service.init_CBC(benchId, benchKey, benchIv);
    const int size = int(state.range(0));
    const QByteArray input = inputFor(service, cbc, op, size);
    for (auto _ : state) {
        int length = 0;
        const std::unique_ptr<unsigned char[]> output
            = bareCipher(cbc, fetched, op, input, &length);
        if (length <= 0) {
            state.SkipWithError("OpenSSL failed");
            break;
        }
        benchmark::DoNotOptimize(output.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

// Prints the usual console table and keeps each case's throughput for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) { }

    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run &run : reports) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const auto counter = run.counters.find("bytes_per_second");
            if (run.error_occurred || !(single || median) || counter == run.counters.end())
                continue;
            m_throughput[run.run_name.function_name + "/" + run.run_name.args] = counter->second;
        }
    }

    void printRatios() const
    {
        std::printf("\n| case | bare EVP | fetched EVP | service | service/bare | service/fetched "
                    "|\n|---|---:|---:|---:|---:|---:|\n");
        for (const char *op : {"encrypt", "decrypt"}) {
            for (const char *mode : {"cbc", "ecb"}) {
                for (int size : sizes) {
                    const std::string suffix = "/" + std::to_string(size);
                    const std::string prefix = std::string(op) + "/" + mode + "/";
                    const auto bare = m_throughput.find(prefix + "bare" + suffix);
                    const auto fetched = m_throughput.find(prefix + "fetched" + suffix);
                    const auto service = m_throughput.find(prefix + "service" + suffix);
                    if (bare == m_throughput.end() || fetched == m_throughput.end()
                        || service == m_throughput.end()) {
                        continue;
                    }
                    std::printf("| %s %s %s | %s | %s | %s | %.3f | %.3f |\n", op, mode,
                        sizeName(size).c_str(), rate(bare->second).c_str(),
                        rate(fetched->second).c_str(), rate(service->second).c_str(),
                        service->second / bare->second, service->second / fetched->second);
                }
            }
        }
    }

private:
    static std::string sizeName(int size)
    {
        if (size >= 1 << 20)
            return std::to_string(size >> 20) + " MiB";
        if (size >= 1 << 10)
            return std::to_string(size >> 10) + " KiB";
        return std::to_string(size) + " B";
    }

    static std::string rate(double bytesPerSecond)
    {
        char text[32];
        if (bytesPerSecond >= 1e9)
            std::snprintf(text, sizeof text, "%.2f GB/s", bytesPerSecond / 1e9);
        else
            std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
        return text;
    }

    std::map<std::string, double> m_throughput;
};

void registerBenchmarks()
{
    for (Op op : {Op::Encrypt, Op::Decrypt}) {
        for (bool cbc : {true, false}) {
            const std::string prefix = std::string(op == Op::Encrypt ? "encrypt/" : "decrypt/")
                + (cbc ? "cbc/" : "ecb/");
            // Each bare case runs right before its service twin, so both see the same machine.
            for (int size : sizes) {
                benchmark::RegisterBenchmark(
                    (prefix + "bare").c_str(), bareBenchmark, cbc, false, op)
                    ->Arg(size);
                benchmark::RegisterBenchmark(
                    (prefix + "fetched").c_str(), bareBenchmark, cbc, true, op)
                    ->Arg(size);
                benchmark::RegisterBenchmark(
                    (prefix + "service").c_str(), serviceBenchmark, cbc, op)
                    ->Arg(size);
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    registerBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
