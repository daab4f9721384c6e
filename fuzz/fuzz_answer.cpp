// Any bytes as a service answer, through the client's real answer handling:
// transport, body and envelope checks (NetworkService::checkAnswer), then the
// typed decoding of the operation the first byte picks.
//
// Input: byte 0 chooses the operation, byte 1 the HTTP status, the framing
// headers and whether the transport reported an error; the rest is the body.

#include "FuzzReply.h"

#include "api/MobileApiResponse.h"
#include "api/AccountRecords.h"
#include "api/JsonReader.h"
#include "api/NetworkService.h"
#include "api/CheckForUpdatesResponse.h"
#include "api/DeviceUsageModel.h"
#include "usage/UsageFigures.h"

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Exactly how NetworkService turns a checked body into a record.
template<typename T>
std::optional<T> decodeRecord(const QByteArray &body)
{
    return T::decode(JsonReader::parseObject(body));
}

void decodeAs(uint8_t operation, const QByteArray &body)
{
    switch (operation % 8) {
    case 0:
        decodeRecord<UserResponse>(body);
        break;
    case 1:
        decodeRecord<VPNApiResponse::Token>(body);
        break;
    case 2:
        if (const auto usage = decodeRecord<DeviceUsageModel>(body)) {
            thisMonthText(*usage);
            hourlyAverageText(*usage);
            const QList<QPointF> points = chartPoints(*usage, QDate(2024, 2, 10));
            // Padding never leaves fewer points than the month has days.
            check(!usage->device_usage.summary || points.size() >= 29);
        }
        break;
    case 3:
        decodeRecord<CheckForUpdatesResponse>(body);
        break;
    case 4:
        decodeRecord<MobileApiResponse::Verify>(body);
        break;
    case 5:
        decodeRecord<MobileApiResponse::SMS>(body);
        break;
    default:
        break; // raw bytes (the certificate) or nothing: the checks decide
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t operation = data[0];
    const uint8_t shape = data[1];
    const QByteArray body(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    static const int statuses[] = {200, 204, 304, 404, 500, 100, 0, 201};
    const int status = statuses[shape & 7];
    QList<std::pair<QByteArray, QByteArray>> headers;
    if (shape & 0x08)
        headers.append({QByteArray("Content-Length"), QByteArray::number(body.size())});
    if (shape & 0x10)
        headers.append({QByteArray("Transfer-Encoding"), QByteArray("chunked")});
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    if (shape & 0x20)
        error = status >= 500 ? QNetworkReply::InternalServerError : QNetworkReply::ContentNotFoundError;
    if (shape & 0x40)
        error = QNetworkReply::ConnectionRefusedError;
    const bool timedOut = shape & 0x80;

    FuzzReply reply(status, error, headers);
    const Result<QByteArray> checked = NetworkService::checkAnswer(&reply, body, timedOut);
    if (!checked.isSuccess()) {
        // Every failure has a text to show.
        check(!checked.error().localizedDescription().isEmpty());
        return 0;
    }
    // What passes the checks is the body itself, untouched.
    check(checked.value() == body);
    decodeAs(operation, checked.value());
    return 0;
}
