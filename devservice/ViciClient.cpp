#include "ViciClient.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace OrvexDev::Vici {

namespace {

enum Element : unsigned char {
    SectionStart = 1,
    SectionEnd = 2,
    KeyValue = 3,
    ListStart = 4,
    ListItem = 5,
    ListEnd = 6,
};

constexpr size_t maxPacket = 16 * 1024 * 1024;

void putName(std::string &out, const std::string &name)
{
    out += char(name.size() & 0xff);
    out += name.substr(0, 255);
}

void putValue(std::string &out, const std::string &value)
{
    const size_t size = std::min<size_t>(value.size(), 0xffff);
    out += char(size >> 8);
    out += char(size & 0xff);
    out += value.substr(0, size);
}

void encodeInto(std::string &out, const Section &section)
{
    for (const auto &[key, value] : section.values) {
        out += char(KeyValue);
        putName(out, key);
        putValue(out, value);
    }
    for (const auto &[name, items] : section.lists) {
        out += char(ListStart);
        putName(out, name);
        for (const std::string &item : items) {
            out += char(ListItem);
            putValue(out, item);
        }
        out += char(ListEnd);
    }
    for (const auto &[name, inner] : section.sections) {
        out += char(SectionStart);
        putName(out, name);
        encodeInto(out, inner);
        out += char(SectionEnd);
    }
}

class Reader
{
public:
    explicit Reader(const std::string &bytes)
        : m_bytes(bytes)
    {}
    bool atEnd() const { return m_pos >= m_bytes.size(); }
    bool byte(unsigned char *b)
    {
        if (m_pos >= m_bytes.size())
            return false;
        *b = static_cast<unsigned char>(m_bytes[m_pos++]);
        return true;
    }
    bool take(size_t size, std::string *out)
    {
        if (m_bytes.size() - m_pos < size)
            return false;
        *out = m_bytes.substr(m_pos, size);
        m_pos += size;
        return true;
    }
    bool name(std::string *out)
    {
        unsigned char size = 0;
        return byte(&size) && take(size, out);
    }
    bool value(std::string *out)
    {
        unsigned char high = 0;
        unsigned char low = 0;
        return byte(&high) && byte(&low) && take((size_t(high) << 8) | low, out);
    }

private:
    const std::string &m_bytes;
    size_t m_pos = 0;
};

} // namespace

const std::string *Section::value(const std::string &key) const
{
    for (const auto &[k, v] : values) {
        if (k == key)
            return &v;
    }
    return nullptr;
}

const Section *Section::section(const std::string &name) const
{
    for (const auto &[n, s] : sections) {
        if (n == name)
            return &s;
    }
    return nullptr;
}

std::string encode(const Section &message)
{
    std::string out;
    encodeInto(out, message);
    return out;
}

std::optional<Section> decode(const std::string &bytes)
{
    Section root;
    std::vector<Section *> open{&root};
    Reader reader(bytes);
    std::string listName;
    std::vector<std::string> *list = nullptr;
    while (!reader.atEnd()) {
        unsigned char element = 0;
        reader.byte(&element);
        std::string name;
        std::string value;
        switch (element) {
        case SectionStart:
            if (list || !reader.name(&name) || open.size() > 64)
                return std::nullopt;
            open.back()->sections.emplace_back(name, Section());
            open.push_back(&open.back()->sections.back().second);
            break;
        case SectionEnd:
            if (list || open.size() < 2)
                return std::nullopt;
            open.pop_back();
            break;
        case KeyValue:
            if (list || !reader.name(&name) || !reader.value(&value))
                return std::nullopt;
            open.back()->values.emplace_back(name, value);
            break;
        case ListStart:
            if (list || !reader.name(&name))
                return std::nullopt;
            open.back()->lists.emplace_back(name, std::vector<std::string>());
            list = &open.back()->lists.back().second;
            break;
        case ListItem:
            if (!list || !reader.value(&value))
                return std::nullopt;
            list->push_back(value);
            break;
        case ListEnd:
            if (!list)
                return std::nullopt;
            list = nullptr;
            break;
        default:
            return std::nullopt;
        }
    }
    if (list || open.size() != 1)
        return std::nullopt;
    return root;
}

Client::~Client()
{
    close();
}

bool Client::connect(const std::string &socketPath, std::string *error)
{
    close();
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) {
        *error = "the socket path is too long";
        return false;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *error = std::string("cannot connect: ") + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

void Client::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Client::send(unsigned char type, const std::string &name, const std::string &message, std::string *error)
{
    std::string payload(1, char(type));
    if (type == CmdRequest || type == EventRegister || type == EventUnregister)
        putName(payload, name);
    payload += message;
    const uint32_t size = uint32_t(payload.size());
    std::string packet = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
    packet += payload;
    size_t sent = 0;
    while (sent < packet.size()) {
        const ssize_t n = ::send(m_fd, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = std::string("cannot send: ") + std::strerror(errno);
            close();
            return false;
        }
        sent += size_t(n);
    }
    return true;
}

bool Client::readExactly(char *data, size_t size, int timeoutMs, std::string *error)
{
    size_t got = 0;
    while (got < size) {
        pollfd p = {m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            *error = ready == 0 ? "charon did not answer in time" : std::strerror(errno);
            return false;
        }
        const ssize_t n = ::recv(m_fd, data + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n == 0 ? "charon closed the connection" : std::strerror(errno);
            return false;
        }
        got += size_t(n);
    }
    return true;
}

int Client::read(int timeoutMs, Packet *packet, std::string *error)
{
    if (m_fd < 0) {
        *error = "not connected";
        return -1;
    }
    pollfd p = {m_fd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return 1;
    unsigned char header[4];
    if (ready < 0 || !readExactly(reinterpret_cast<char *>(header), 4, answerTimeoutMs, error)) {
        close();
        return -1;
    }
    const size_t size = (size_t(header[0]) << 24) | (size_t(header[1]) << 16) | (size_t(header[2]) << 8)
                        | header[3];
    // The length is the peer's word: checked before anything is allocated for it.
    if (size == 0 || size > maxPacket) {
        *error = "packet of " + std::to_string(size) + " bytes refused";
        close();
        return -1;
    }
    std::string payload(size, '\0');
    if (!readExactly(payload.data(), size, answerTimeoutMs, error)) {
        close();
        return -1;
    }
    packet->type = static_cast<unsigned char>(payload[0]);
    size_t offset = 1;
    if (packet->type == Event) {
        const size_t nameSize = payload.size() > 1 ? static_cast<unsigned char>(payload[1]) : 0;
        if (payload.size() < 2 + nameSize) {
            *error = "malformed event";
            close();
            return -1;
        }
        packet->name = payload.substr(2, nameSize);
        offset = 2 + nameSize;
    }
    packet->message = payload.substr(offset);
    return 0;
}

std::optional<Client::Packet> Client::awaitAnswer(unsigned char wanted, unsigned char refused,
                                                  const EventHandler &onEvent, std::string *error)
{
    while (true) {
        Packet packet;
        const int result = read(answerTimeoutMs, &packet, error);
        if (result == 1) {
            *error = "charon did not answer in time";
            close();
            return std::nullopt;
        }
        if (result < 0)
            return std::nullopt;
        if (packet.type == Event) {
            const auto message = decode(packet.message);
            if (message && onEvent)
                onEvent(packet.name, *message);
            continue;
        }
        if (packet.type == wanted)
            return packet;
        *error = packet.type == refused ? "charon does not know that command or event"
                                        : "unexpected answer from charon";
        return std::nullopt;
    }
}

bool Client::registerEvent(const std::string &name, std::string *error)
{
    if (!send(EventRegister, name, {}, error))
        return false;
    return awaitAnswer(EventConfirm, EventUnknown, nullptr, error).has_value();
}

std::optional<Section> Client::command(const std::string &name, const Section &message,
                                       const EventHandler &onEvent, std::string *error)
{
    if (!send(CmdRequest, name, encode(message), error))
        return std::nullopt;
    const auto packet = awaitAnswer(CmdResponse, CmdUnknown, onEvent, error);
    if (!packet)
        return std::nullopt;
    auto answer = decode(packet->message);
    if (!answer)
        *error = "malformed answer from charon";
    return answer;
}

bool Client::waitForEvent(int timeoutMs, const EventHandler &onEvent, std::string *error)
{
    Packet packet;
    const int result = read(timeoutMs, &packet, error);
    if (result < 0)
        return false;
    if (result == 0 && packet.type == Event) {
        const auto message = decode(packet.message);
        if (message && onEvent)
            onEvent(packet.name, *message);
    }
    return true;
}

} // namespace OrvexDev::Vici
