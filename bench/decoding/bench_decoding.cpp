// Decoding benchmark. What the client does when an answer arrives, timed and
// with its heap allocations counted (every malloc of the process, Qt's
// included, through an interposed allocator):
//
//  usage   a month's usage answer (31 daily and 744 hourly records, figures as
//          integers, strings and doubles in turn): NetworkService's answer
//          checks and record decoding, then the month's text, the hourly
//          average text and the chart points the main screen draws;
//  devices a getuser answer with 1000 devices: the answer checks, the record
//          decoding and the device check (this machine's udid, found last).
//
// Prints medians over many rounds; the figures are not asserted anywhere.

#include "account/DeviceRegistration.h"
#include "api/Utility.h"
#include "api/AccountRecords.h"
#include "api/NetworkService.h"
#include "api/DeviceUsageModel.h"
#include "usage/UsageFigures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <malloc.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
std::atomic<long> allocations{0};
std::atomic<long> allocatedBytes{0};
void count(size_t bytes)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    allocatedBytes.fetch_add(long(bytes), std::memory_order_relaxed);
}
} // namespace

// Every allocation of the process goes through these (operator new calls
// malloc), so Qt's containers and strings are counted too. Not under
// AddressSanitizer, which owns the allocator there (counts then read 0).
#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void *malloc(size_t size)
{
    count(size);
    return __libc_malloc(size);
}
void *calloc(size_t n, size_t size)
{
    count(n * size);
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size)
{
    count(size);
    return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size)
{
    count(size);
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
    count(size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size)
{
    count(size);
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : 12; // ENOMEM
}
void free(void *p)
{
    __libc_free(p);
}
}
#endif

using namespace Orvex;

namespace {

// A finished 200 answer with a length, as the network hands it over.
class FinishedReply final : public QNetworkReply
{
public:
    explicit FinishedReply(qsizetype length)
    {
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        setRawHeader("Content-Length", QByteArray::number(length));
        setFinished(true);
        open(QIODevice::ReadOnly);
    }
    void abort() override {}

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

// What NetworkService does with a body once it has arrived: the transport,
// body and envelope checks, then the typed decoding of the parsed body.
template<typename T>
std::optional<T> handleAnswer(const QByteArray &body)
{
    FinishedReply reply(body.size());
    QJsonValue document;
    if (!NetworkService::checkAnswer(&reply, body, false, &document).isSuccess())
        return std::nullopt;
    return T::decode(document);
}

// Deterministic mixed forms: integer, decimal text, double, in turn.
QJsonValue figure(qint64 value, int &turn)
{
    switch (turn++ % 3) {
    case 0:
        return value;
    case 1:
        return QString::number(value);
    default:
        return double(value) + 0.5;
    }
}

QByteArray monthOfUsage()
{
    int turn = 0;
    QJsonArray summary;
    for (int day = 1; day <= 31; ++day) {
        summary.append(QJsonObject{{QStringLiteral("average"), figure(day * 1000, turn)},
                                   {QStringLiteral("date"),
                                    QStringLiteral("2024-01-%1").arg(day, 2, 10, QLatin1Char('0'))},
                                   {QStringLiteral("usage"), figure(qint64(day) * 123456789, turn)}});
    }
    QJsonArray traffic;
    for (int hour = 0; hour < 744; ++hour) {
        traffic.append(QJsonObject{{QStringLiteral("Hour"), figure(hour % 24, turn)},
                                   {QStringLiteral("Day"), figure(hour / 24 + 1, turn)},
                                   {QStringLiteral("Month"), figure(1, turn)},
                                   {QStringLiteral("Year"), figure(2024, turn)},
                                   {QStringLiteral("In"), figure(hour * 7919, turn)},
                                   {QStringLiteral("Out"), figure(hour * 104729, turn)},
                                   {QStringLiteral("Total"), figure(hour * 112648, turn)}});
    }
    const QJsonObject info{{QStringLiteral("Day"), 31},
                           {QStringLiteral("Month"), QStringLiteral("1")},
                           {QStringLiteral("Year"), 2024},
                           {QStringLiteral("Timezone"), QStringLiteral("Europe/Berlin")},
                           {QStringLiteral("MonthlyUsage"), QStringLiteral("123456789012")},
                           {QStringLiteral("device"), QStringLiteral("d0")}};
    const QJsonObject answer{
        {QStringLiteral("device_usage"), QJsonObject{{QStringLiteral("info"), info},
                                                     {QStringLiteral("summary"), summary},
                                                     {QStringLiteral("traffic"), traffic}}}};
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

const QString email = QStringLiteral("ann@example.com");

QByteArray userWithDevices(int count, const QString &ourUdid)
{
    QJsonArray devices;
    for (int i = 0; i < count; ++i) {
        const QString udid = i == count - 1 ? ourUdid : QStringLiteral("%1").arg(i, 32, 16, QLatin1Char('0'));
        devices.append(QJsonObject{{QStringLiteral("apn"), QStringLiteral("desktop")},
                                   {QStringLiteral("id"), QString::number(i)},
                                   {QStringLiteral("udid"), udid},
                                   {QStringLiteral("user"), email},
                                   {QStringLiteral("status"), QStringLiteral("Active")}});
    }
    const QJsonObject user{{QStringLiteral("email"), email},
                           {QStringLiteral("name"), QStringLiteral("Ann")},
                           {QStringLiteral("phoneNumber"), QStringLiteral("+49123456789")},
                           {QStringLiteral("devices"), devices}};
    return QJsonDocument(QJsonObject{{QStringLiteral("user"), user}}).toJson(QJsonDocument::Compact);
}

struct Figures
{
    double medianUs = 0;
    long allocations = 0;
    long bytes = 0;
};

template<typename Work>
Figures measure(int rounds, Work work)
{
    for (int i = 0; i < 5; ++i)
        work(); // warm caches and lazily built statics
    std::vector<double> times;
    long allocs = 0, bytes = 0;
    QElapsedTimer clock;
    for (int i = 0; i < rounds; ++i) {
        const long a0 = allocations.load(), b0 = allocatedBytes.load();
        clock.start();
        work();
        times.push_back(clock.nsecsElapsed() / 1000.0);
        allocs = allocations.load() - a0;
        bytes = allocatedBytes.load() - b0;
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], allocs, bytes};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(11, atoi(argv[1])) : 201;

    const QByteArray usage = monthOfUsage();
    int points = 0;
    const Figures usageFigures = measure(rounds, [&] {
        const auto model = handleAnswer<DeviceUsageModel>(usage);
        if (!model)
            std::abort();
        const QString month = thisMonthText(*model);
        const QString average = hourlyAverageText(*model);
        points = int(chartPoints(*model, QDate(2024, 1, 31)).size());
        if (month.isEmpty() || average.isEmpty())
            std::abort();
    });

    const QString udid = Utility::udid(email);
    const QByteArray user = userWithDevices(1000, udid);
    const Figures deviceFigures = measure(rounds, [&] {
        const auto answer = handleAnswer<UserResponse>(user);
        if (!answer || !DeviceRegistration::holdsDevice(answer->user, Utility::udid(*answer->user.email)))
            std::abort();
    });

    std::printf("decoding, median of %d rounds:\n", rounds);
    std::printf("  usage answer (%lld bytes, 31 days + 744 hours) to labels and %d chart points: "
                "%8.1f us, %ld allocations (%ld KB)\n",
                (long long) usage.size(), points, usageFigures.medianUs, usageFigures.allocations,
                usageFigures.bytes / 1024);
    std::printf("  getuser answer (%lld bytes, 1000 devices) to the device check:               "
                "%8.1f us, %ld allocations (%ld KB)\n",
                (long long) user.size(), deviceFigures.medianUs, deviceFigures.allocations,
                deviceFigures.bytes / 1024);
    // One line per figure for scripts/bench.
    std::printf("FIGURE usage-decode-us %.1f\nFIGURE usage-decode-allocs %ld\n"
                "FIGURE devices-check-us %.1f\nFIGURE devices-check-allocs %ld\n",
                usageFigures.medianUs, usageFigures.allocations, deviceFigures.medianUs,
                deviceFigures.allocations);
    return 0;
}
