#pragma once

#include "Answer.h"
#include "Store.h"

#include <string>

namespace httplib {
struct Request;
}

namespace OrvexDev {

// The help desk's ticket endpoint (POST /api/v2/tickets.json): checks the Basic
// credential, stores the ticket and answers the way a hosted help desk does,
// including its JSON error documents.
class HelpDesk
{
public:
    HelpDesk(std::string authorization, Store &store)
        : m_authorization(std::move(authorization))
        , m_store(store)
    {}

    Answer handle(const httplib::Request &request);

    static constexpr size_t maxDocument = 256 * 1024;

private:
    std::string m_authorization;
    Store &m_store;
};

// The deepest nesting of arrays and objects in a JSON text (strings skipped);
// used to refuse pathological documents before they are parsed.
int jsonDepth(const std::string &text);

} // namespace OrvexDev
