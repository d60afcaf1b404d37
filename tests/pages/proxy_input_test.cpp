// What the proxy dialog lets through, judged without the window.
#include "pages/proxy_input.h"

#include <gtest/gtest.h>

namespace {

TEST(ProxyInput, PortIsJudgedFirstThenThePair)
{
    struct Case
    {
        const char* description;
        const char* host;
        const char* port;
        ProxyInputProblem expected;
    };
    const Case cases[] = {
        {"both filled", "proxy1", "8080", ProxyInputProblem::none},
        {"both empty", "", "", ProxyInputProblem::none},
        {"letters in the port", "proxy1", "80a", ProxyInputProblem::invalidPort},
        {"bad port wins over a missing host", "", "80a", ProxyInputProblem::invalidPort},
        {"blank inside the port", "proxy1", "80 80", ProxyInputProblem::invalidPort},
        {"blank before the port", "proxy1", " 80", ProxyInputProblem::invalidPort},
        {"sign in the middle", "proxy1", "80-1", ProxyInputProblem::invalidPort},
        {"two signs", "proxy1", "+-1", ProxyInputProblem::invalidPort},
        {"non-ASCII digits", "proxy1", "\xd9\xa8\xd9\xa0", ProxyInputProblem::invalidPort},
        {"leading plus", "proxy1", "+8080", ProxyInputProblem::none},
        {"leading minus", "proxy1", "-1", ProxyInputProblem::none},
        {"a lone sign is a number here", "proxy1", "+", ProxyInputProblem::none},
        {"host without port", "proxy1", "", ProxyInputProblem::unpaired},
        {"port without host", "", "8080", ProxyInputProblem::unpaired},
        {"a blank host counts as filled", " ", "8080", ProxyInputProblem::none},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckProxyInput(wxString::FromUTF8(c.host), wxString::FromUTF8(c.port)), c.expected)
            << c.description;
}

} // namespace
