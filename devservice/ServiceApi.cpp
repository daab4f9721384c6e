#include "ServiceApi.h"

#include "CertificateAuthority.h"
#include "PhoneNumbers.h"
#include "Secrets.h"
#include "UpdateCatalog.h"
#include "UsageReport.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <regex>
#include <stdexcept>

namespace OrvexDev {

namespace {

// Longest accepted values. Anything longer is refused before it reaches the
// store or a certificate.
constexpr size_t maxEmail = 254;
constexpr size_t maxPassword = 1024;
constexpr size_t maxName = 200;
constexpr size_t maxPhone = 40;
constexpr size_t maxShort = 64;
constexpr size_t maxToken = 128;
constexpr size_t maxMessage = 1600;

std::int64_t now()
{
    return std::int64_t(std::time(nullptr));
}

Answer failure(const std::string &command, int code, const std::string &message)
{
    return Answer::json(envelope(command, code, true, message));
}

// Too many attempts: an envelope the client already knows (the code of a
// wrong password for sign-in, so a locked account tells a guesser nothing
// about the guess) with HTTP 429 and the wait in Retry-After.
Answer tooMany(const std::string &command, int code, std::int64_t wait, const char *what)
{
    Answer answer = failure(command, code,
                            std::string(what) + "; try again in " + std::to_string(wait) + " s");
    answer.status = 429;
    answer.headers.emplace_back("Retry-After", std::to_string(wait));
    return answer;
}

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Answer badParameter(const std::string &command, const Parameters &parameters)
{
    return failure(command, Code::badParameter, parameters.problem());
}

nlohmann::json deviceJson(const Device &device, const std::string &email)
{
    return {{"id", std::to_string(device.id)},
            {"udid", device.udid},
            {"apn", device.apn},
            {"user", email},
            {"nickName", device.nickName},
            {"systemName", device.systemName},
            {"systemVersion", device.systemVersion},
            {"status", device.status},
            {"created", isoTime(device.createdAt)}};
}

nlohmann::json userJson(const Account &account, const std::vector<Device> &devices)
{
    nlohmann::json list = nlohmann::json::array();
    for (const Device &device : devices)
        list.push_back(deviceJson(device, account.email));
    // The password (hash) never leaves the service.
    return {{"user",
             {{"id", std::to_string(account.id)},
              {"email", account.email},
              {"name", account.name},
              {"phoneNumber", account.phone},
              {"user", account.email},
              {"created", isoTime(account.createdAt)},
              {"devices", list}}}};
}

bool isPlausibleEmail(const std::string &email)
{
    const size_t at = email.find('@');
    if (at == std::string::npos || at == 0 || email.find('@', at + 1) != std::string::npos)
        return false;
    for (const char c : email) {
        if (c == ' ' || c == ',' || c == ';' || c == '<' || c == '>')
            return false;
    }
    const std::string domain = email.substr(at + 1);
    return domain.find('.') != std::string::npos && CertificateAuthority::isDnsName(domain);
}

// A udid ends up as the first label of the certificate's DNS name.
bool isDnsLabel(const std::string &text)
{
    return !text.empty() && text.size() <= 63 && text.find('.') == std::string::npos
           && CertificateAuthority::isDnsName(text);
}

} // namespace

ServiceApi::ServiceApi(ServiceSettings settings, Store &store, const CertificateAuthority &authority)
    : m_settings(std::move(settings))
    , m_store(store)
    , m_authority(authority)
{}

Answer ServiceApi::handle(const httplib::Request &request)
{
    const std::string &path = request.path;
    if (request.method != "GET" && request.method != "HEAD") {
        Answer answer = failure(path, Code::unknownCommand, "method not allowed");
        answer.status = 405;
        answer.headers.emplace_back("Allow", "GET, HEAD");
        return answer;
    }
    if (path == "/getuser.json")
        return getUser(request);
    if (path == "/adduser.json")
        return addUser(request);
    if (path == "/checkUserAccount.json")
        return checkUserAccount(request);
    if (path == "/iOS/lookup.php")
        return lookup(request);
    if (path == "/iOS/getverification.php")
        return verification();
    if (path == "/iOS/sms_orvex.php")
        return sendSms(request);
    if (path == "/adddevice.json")
        return addDevice(request);
    if (path == "/portableapi/portable.php")
        return portable(request);
    if (path == "/v3/ov/checkupdates/" || path == "/v3/ov/checkupdates")
        return checkUpdates(request);
    const std::string downloads = "/downloads/";
    if (path.compare(0, downloads.size(), downloads) == 0)
        return download(path.substr(downloads.size()));
    Answer answer = failure(path.size() > 200 ? path.substr(0, 200) : path, Code::unknownCommand,
                            "no such request");
    answer.status = 404;
    return answer;
}

Answer ServiceApi::getUser(const httplib::Request &request)
{
    const char *command = "getuser";
    Parameters parameters(request);
    std::string user;
    std::string check;
    if (!parameters.text("user", maxEmail, &user) || !parameters.text("check", maxPassword, &check))
        return badParameter(command, parameters);
    const auto account = m_store.account(user);
    if (!account)
        return failure(command, Code::userNotExists, "User does not exist");
    // The fixed check value asks for the record without a password (sign-up
    // looks the account up that way).
    if (!Secrets::equal(check, m_settings.serviceCheckValue)) {
        const std::string accountKey = "account:" + lowerCase(account->email);
        const std::string sourceKey = "source:" + request.remote_addr;
        if (auto refusal = admit(command, accountKey, sourceKey))
            return *refusal;
        const bool right = checkPassword(check, *account);
        guessed(right, accountKey, sourceKey);
        if (!right)
            return failure(command, Code::invalidPassword, "Invalid password");
    }
    return Answer::json(userJson(*account, m_store.devices(account->id)));
}

Answer ServiceApi::addUser(const httplib::Request &request)
{
    const char *command = "adduser";
    Parameters parameters(request);
    std::string check;
    if (!parameters.text("check", maxShort, &check))
        return badParameter(command, parameters);
    if (!Secrets::equal(check, m_settings.signUpCheckValue))
        return failure(command, Code::notAuthorised, "Invalid check value");
    Account account;
    std::string user;
    std::string password;
    if (!parameters.text("user", maxEmail, &user) || !parameters.text("password", maxPassword, &password)
        || !parameters.text("name", maxName, &account.name)
        || !parameters.text("email", maxEmail, &account.email)
        || !parameters.text("phoneNumber", maxPhone, &account.phone))
        return badParameter(command, parameters);
    if (!isPlausibleEmail(account.email))
        return failure(command, Code::badParameter, "Invalid e-mail address");
    if (user != account.email)
        return failure(command, Code::badParameter, "user and email differ");
    if (password.empty())
        return failure(command, Code::badParameter, "Empty password");
    if (account.name.empty())
        return failure(command, Code::badParameter, "Empty name");
    // Every sign-up costs a password hash and a record.
    if (const std::int64_t wait = m_throttle.take("signup-source:" + request.remote_addr, signUpsPerSource,
                                                  signUpSourceWindow, now()))
        return tooMany(command, Code::tooMany, wait, "Too many sign-ups from this address");
    account.passwordHash = Secrets::hashPassword(password);
    account.createdAt = now();
    const auto created = m_store.createAccount(account);
    if (!created)
        return failure(command, Code::userExists, "User already exists");
    return Answer::json(userJson(*created, {}));
}

Answer ServiceApi::checkUserAccount(const httplib::Request &request)
{
    const char *command = "checkUserAccount";
    Parameters parameters(request);
    std::string check;
    std::string user;
    if (!parameters.text("check", maxShort, &check) || !parameters.text("user", maxEmail, &user))
        return badParameter(command, parameters);
    if (!Secrets::equal(check, m_settings.serviceCheckValue))
        return failure(command, Code::notAuthorised, "Invalid check value");
    if (!m_store.account(user))
        return failure(command, Code::userNotExists, "User does not exist");
    return Answer::json(envelope(command, Code::ok, false, "User exists"));
}

Answer ServiceApi::lookup(const httplib::Request &request)
{
    Parameters parameters(request);
    std::string number;
    if (!parameters.text("Number", maxPhone, &number))
        return Answer::json({{"status", "400"}, {"message", parameters.problem()}});
    const PhoneNumberCheck check = checkPhoneNumber(number);
    if (!check.parsed)
        return Answer::json({{"status", "400"}, {"message", "Not a phone number in international form"}});
    nlohmann::json answer = {{"country", check.region}, {"number", check.e164}, {"type", check.kind}};
    if (!check.valid) {
        answer["status"] = "404";
        answer["message"] = "No such number in the numbering plan";
    } else if (!check.mobile) {
        answer["status"] = "422";
        answer["message"] = "Not a mobile number";
    } else {
        answer["status"] = "200";
        answer["message"] = "Valid mobile number";
    }
    return Answer::json(answer);
}

Answer ServiceApi::verification()
{
    // A one-time permission to send one SMS; the client passes it on unchanged.
    const std::string token = Secrets::randomHex(20);
    m_store.addToken(Store::TokenKind::Sms, token, now(), smsTokenLifetime);
    return Answer::text(token);
}

Answer ServiceApi::sendSms(const httplib::Request &request)
{
    const char *command = "sms";
    Parameters parameters(request);
    std::string to;
    std::string message;
    std::string verify;
    if (!parameters.text("ToNumbe", maxPhone, &to) || !parameters.text("toMsg", maxMessage, &message)
        || !parameters.text("verify", maxToken, &verify))
        return badParameter(command, parameters);
    if (message.empty())
        return failure(command, Code::badParameter, "Empty message");
    const PhoneNumberCheck check = checkPhoneNumber(to);
    if (!check.valid)
        return failure(command, Code::badParameter, "Invalid destination number");
    // Before the token is spent: a refused message leaves it usable.
    if (const std::int64_t wait = m_throttle.take("sms-source:" + request.remote_addr, smsPerSource,
                                                  smsSourceWindow, now()))
        return tooMany(command, Code::tooMany, wait, "Too many messages from this address");
    if (const std::int64_t wait = m_throttle.take("sms-number:" + check.e164, smsPerNumber, smsNumberWindow,
                                                  now()))
        return tooMany(command, Code::tooMany, wait, "Too many messages to this number");
    if (!m_store.consumeToken(Store::TokenKind::Sms, verify, now()))
        return failure(command, Code::badToken, "Invalid or used verification token");
    const SmsMessage sms = m_store.addSms(to, message, "SM" + Secrets::randomHex(16));
    return Answer::json(
        {{"orvexcloud",
          {{"sms", {{"message", "Message queued for " + check.e164}, {"sid", sms.sid}, {"status", true}}}}}});
}

Answer ServiceApi::addDevice(const httplib::Request &request)
{
    const char *command = "adddevice";
    Parameters parameters(request);
    std::string check;
    std::string user;
    Device device;
    if (!parameters.text("check", maxShort, &check))
        return badParameter(command, parameters);
    if (!Secrets::equal(check, m_settings.serviceCheckValue))
        return failure(command, Code::notAuthorised, "Invalid check value");
    if (!parameters.text("udid", maxShort, &device.udid) || !parameters.text("user", maxEmail, &user)
        || !parameters.optionalText("apn", maxShort, "desktop", &device.apn)
        || !parameters.optionalText("nickName", maxName, "Unknown", &device.nickName)
        || !parameters.optionalText("systemName", maxShort, "", &device.systemName)
        || !parameters.optionalText("systemVersion", maxShort, "", &device.systemVersion)
        || !parameters.optionalText("status", maxShort, "Active", &device.status))
        return badParameter(command, parameters);
    if (!isDnsLabel(device.udid))
        return failure(command, Code::badParameter, "Invalid udid");
    const auto account = m_store.account(user);
    if (!account)
        return failure(command, Code::userNotExists, "User does not exist");
    device.accountId = account->id;
    device.createdAt = now();
    const Store::DeviceOutcome outcome = m_store.saveDevice(device);
    if (outcome == Store::DeviceOutcome::OwnedByAnother)
        return failure(command, Code::deviceOfAnotherUser, "Device belongs to another account");
    if (outcome == Store::DeviceOutcome::Added && m_settings.seedUsage)
        seedUsage(device.id, device.udid);
    nlohmann::json answer = envelope(command, Code::ok, false,
                                     outcome == Store::DeviceOutcome::Added ? "Device added"
                                                                            : "Device updated");
    answer["device"] = deviceJson(device, account->email);
    return Answer::json(answer);
}

Answer ServiceApi::portable(const httplib::Request &request)
{
    Parameters parameters(request);
    std::string api;
    std::string apiId;
    if (!parameters.text("api", maxShort, &api))
        return failure("portable", Code::unknownCommand, parameters.problem());
    const std::string command = api == "gen_token" || api == "getcert"
                                        || api == "getdesktopdevicehistoricalusage"
                                    ? api
                                    : "portable";
    if (!parameters.text("ApiID", maxShort, &apiId) || !Secrets::equal(apiId, m_settings.apiIdentifier))
        return failure(command, Code::notAuthorised, "Invalid API identifier");
    if (api == "gen_token")
        return generateToken();
    if (api == "getcert")
        return certificate(request);
    if (api == "getdesktopdevicehistoricalusage")
        return deviceUsage(request);
    return failure(command, Code::unknownCommand, "Unknown api");
}

Answer ServiceApi::generateToken()
{
    const std::string token = Secrets::randomHex(16);
    m_store.addToken(Store::TokenKind::Certificate, token, now(), certificateTokenLifetime);
    return Answer::json({{"token", {{"name", token}, {"expires_in", certificateTokenLifetime}}}});
}

Answer ServiceApi::certificate(const httplib::Request &request)
{
    const char *command = "getcert";
    Parameters parameters(request);
    std::string token;
    std::string password;
    std::string udid;
    std::string user;
    std::string type;
    if (!parameters.text("token", maxToken, &token) || !parameters.text("password", maxPassword, &password)
        || !parameters.text("Deviceudid", maxShort, &udid) || !parameters.text("Userid", maxEmail, &user)
        || !parameters.optionalText("crt_type", maxShort, "p12", &type))
        return badParameter(command, parameters);
    if (type != "p12")
        return failure(command, Code::badParameter, "Only crt_type p12 is issued");
    // Tokens are free to get, so they limit nothing by themselves: the
    // password's back-off applies here too, before the token is spent.
    const std::string accountKey = "account:" + lowerCase(user);
    const std::string sourceKey = "source:" + request.remote_addr;
    if (auto refusal = held(command, accountKey, sourceKey))
        return *refusal;
    if (!m_store.consumeToken(Store::TokenKind::Certificate, token, now()))
        return failure(command, Code::badToken, "Invalid, used or expired token");
    const auto account = m_store.account(user);
    if (!account)
        return failure(command, Code::userNotExists, "User does not exist");
    if (auto refusal = admit(command, accountKey, sourceKey))
        return *refusal;
    const bool right = checkPassword(password, *account);
    guessed(right, accountKey, sourceKey);
    if (!right)
        return failure(command, Code::invalidPassword, "Invalid password");
    const auto device = m_store.device(udid);
    if (!device || device->accountId != account->id)
        return failure(command, Code::unknownDevice, "Device does not exist");

    const std::string name = udid + "." + m_settings.vpnDomain;
    if (name.size() > 64 || !CertificateAuthority::isDnsName(name))
        return failure(command, Code::badParameter, "The device's name does not fit a certificate");
    std::string error;
    const auto identity = m_authority.issueClient(name, m_settings.pkcs12Passphrase,
                                                  m_settings.clientCertificateDays, &error);
    if (!identity) {
        Answer answer = failure(command, Code::internalError, "Cannot issue the certificate");
        answer.status = 500;
        return answer;
    }
    m_store.addCertificate(device->id, identity->serial, identity->subject, identity->notAfter,
                           identity->certificatePem);
    Answer answer;
    answer.contentType = "application/x-pkcs12";
    answer.body = identity->pkcs12;
    answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + udid + ".p12\"");
    return answer;
}

Answer ServiceApi::deviceUsage(const httplib::Request &request)
{
    const char *command = "getdesktopdevicehistoricalusage";
    Parameters parameters(request);
    std::string udid;
    long long tz = 0;
    long long year = 0;
    long long month = 0;
    long long day = 0;
    if (!parameters.text("deviceudid", maxShort, &udid) || !parameters.integer("tz", -14, 14, &tz)
        || !parameters.integer("y", 1970, 9999, &year) || !parameters.integer("m", 1, 12, &month)
        || !parameters.integer("d", 1, 31, &day))
        return badParameter(command, parameters);
    if (day > UsageReport::daysInMonth(year, int(month)))
        return failure(command, Code::badParameter, "No such day in that month");
    const auto device = m_store.device(udid);
    if (!device)
        return failure(command, Code::unknownDevice, "Device does not exist");
    const UsageReport::Window window = UsageReport::month(year, int(month), int(tz));
    const auto hours = m_store.usage(device->id, window.fromHour, window.toHour);
    return Answer::json(UsageReport::deviceUsageModel(hours, year, int(month), int(day), int(tz), udid));
}

Answer ServiceApi::checkUpdates(const httplib::Request &request)
{
    const char *command = "checkupdates";
    Parameters parameters(request);
    std::string version;
    std::string os;
    if (!parameters.text("version", maxShort, &version) || !parameters.text("os", maxShort, &os))
        return badParameter(command, parameters);
    const auto installed = UpdateCatalog::parseVersion(version);
    if (!installed)
        return failure(command, Code::badParameter, "Invalid version");
    const std::string package = UpdateCatalog::packageName(m_settings.latestVersion, os);
    if (package.empty())
        return failure(command, Code::badParameter, "No packages for that system");
    const auto latest = UpdateCatalog::parseVersion(m_settings.latestVersion);
    if (!latest || UpdateCatalog::compare(*installed, *latest) >= 0)
        return failure(command, Code::alreadyUpdated, "You already have the latest software");
    nlohmann::json answer = envelope(command, Code::ok, false, {});
    answer["status"]["version"] = m_settings.latestVersion;
    answer["status"]["softwareversion"] = m_settings.latestVersion;
    answer["status"]["name"] = originOf(request) + "/downloads/" + package;
    return Answer::json(answer);
}

Answer ServiceApi::download(const std::string &name)
{
    const std::string suffix = ".sig";
    if (!m_settings.updateSigningKey.empty() && name.size() > suffix.size()
        && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        const std::string package = name.substr(0, name.size() - suffix.size());
        for (const char *os : {"linux", "mac"}) {
            if (package != UpdateCatalog::packageName(m_settings.latestVersion, os))
                continue;
            std::string error;
            const auto signature = UpdateCatalog::sign(m_settings.updateSigningKey,
                                                       UpdateCatalog::packageBytes(m_settings.latestVersion),
                                                       &error);
            if (!signature)
                throw std::runtime_error(error);
            Answer answer;
            answer.contentType = "application/octet-stream";
            answer.body = *signature;
            return answer;
        }
    }
    for (const char *os : {"linux", "mac"}) {
        if (name == UpdateCatalog::packageName(m_settings.latestVersion, os)) {
            Answer answer;
            answer.contentType = std::string(os) == "linux" ? "application/vnd.debian.binary-package"
                                                            : "application/octet-stream";
            answer.body = UpdateCatalog::packageBytes(m_settings.latestVersion);
            answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
            return answer;
        }
    }
    return Answer::text("Not found\n", 404);
}

std::optional<Answer> ServiceApi::held(const char *command, const std::string &account,
                                       const std::string &source)
{
    const std::int64_t wait = std::max(m_throttle.waitFor(account, now()), m_throttle.waitFor(source, now()));
    if (wait <= 0)
        return std::nullopt;
    return tooMany(command, Code::invalidPassword, wait, "Too many failed attempts");
}

std::optional<Answer> ServiceApi::admit(const char *command, const std::string &account,
                                        const std::string &source)
{
    const std::int64_t first = m_settings.firstBackOffSeconds;
    const std::int64_t wait = m_throttle.attempt({{account, {accountFreeFailures, first, maxBackOffSeconds}},
                                                  {source, {sourceFreeFailures, first, maxBackOffSeconds}}},
                                                 now());
    if (wait <= 0)
        return std::nullopt;
    return tooMany(command, Code::invalidPassword, wait, "Too many failed attempts");
}

void ServiceApi::guessed(bool right, const std::string &account, const std::string &source)
{
    // admit() counted the try as a failure already.
    if (!right)
        return;
    m_throttle.success(account);
    m_throttle.release({source, {sourceFreeFailures, m_settings.firstBackOffSeconds, maxBackOffSeconds}});
}

bool ServiceApi::checkPassword(const std::string &password, const Account &account)
{
    if (!Secrets::verifyPassword(password, account.passwordHash))
        return false;
    // A hash from a weaker setting is made again now that the password is at hand.
    if (Secrets::isWeakerThanCurrent(account.passwordHash))
        m_store.setPassword(account.id, Secrets::hashPassword(password));
    return true;
}

std::string ServiceApi::originOf(const httplib::Request &request) const
{
    // The address the client used, when it is a plain host[:port].
    static const std::regex plainHost(R"(^([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]{1,5})?$)");
    const std::string host = request.get_header_value("Host");
    if (!host.empty() && host.size() <= 260 && std::regex_match(host, plainHost))
        return "https://" + host;
    return m_settings.fallbackOrigin;
}

void ServiceApi::seedUsage(std::int64_t deviceId, const std::string &udid)
{
    const std::int64_t hourNow = now() / 3600;
    std::time_t t = std::time_t(now());
    struct tm utc;
    gmtime_r(&t, &utc);
    int year = utc.tm_year + 1900;
    int month = utc.tm_mon; // last month, 0 meaning December of last year
    if (month == 0) {
        month = 12;
        --year;
    }
    const std::int64_t from = UsageReport::daysFromCivil(year, month, 1) * 24;
    m_store.fillUsage(deviceId, UsageReport::plausibleHistory(udid, from, hourNow + 1));
}

} // namespace OrvexDev
