#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace OrvexDev::Vici {

// A VICI message: key/values, lists and nested sections, in wire order.
struct Section
{
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::pair<std::string, std::vector<std::string>>> lists;
    std::vector<std::pair<std::string, Section>> sections;

    const std::string *value(const std::string &key) const;
    const Section *section(const std::string &name) const;
};

std::string encode(const Section &message);
std::optional<Section> decode(const std::string &bytes);

using EventHandler = std::function<void(const std::string &name, const Section &message)>;

// A small blocking client of charon's VICI socket: commands, streamed list
// events and event subscriptions. Every read has a time-out, so a charon that
// stops answering cannot hang its caller.
class Client
{
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connect(const std::string &socketPath, std::string *error);
    void close();
    bool isConnected() const { return m_fd >= 0; }

    bool registerEvent(const std::string &name, std::string *error);

    // Sends a command and waits for its answer; events arriving meanwhile (the
    // items of a list command among them) go to `onEvent`.
    std::optional<Section> command(const std::string &name, const Section &message,
                                   const EventHandler &onEvent, std::string *error);

    // Waits up to `timeoutMs` for one event. False only on a broken connection.
    bool waitForEvent(int timeoutMs, const EventHandler &onEvent, std::string *error);

    static constexpr int answerTimeoutMs = 10000;

private:
    enum PacketType : unsigned char {
        CmdRequest = 0,
        CmdResponse = 1,
        CmdUnknown = 2,
        EventRegister = 3,
        EventUnregister = 4,
        EventConfirm = 5,
        EventUnknown = 6,
        Event = 7,
    };
    struct Packet
    {
        unsigned char type = 0;
        std::string name;
        std::string message;
    };

    bool send(unsigned char type, const std::string &name, const std::string &message, std::string *error);
    // 0: a packet was read; 1: nothing arrived in time; -1: error.
    int read(int timeoutMs, Packet *packet, std::string *error);
    bool readExactly(char *data, size_t size, int timeoutMs, std::string *error);
    // Reads until a packet of one of the two wanted types arrives.
    std::optional<Packet> awaitAnswer(unsigned char wanted, unsigned char refused,
                                      const EventHandler &onEvent, std::string *error);

    int m_fd = -1;
};

} // namespace OrvexDev::Vici
