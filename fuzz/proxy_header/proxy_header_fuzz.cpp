// A balancer's PROXY header comes from the network before anything else. The front loop takes
// bytes off the socket while the header is incomplete and exactly its length once complete,
// so: every byte before a header's end reads as incomplete, a complete header reads the same
// without what follows it, and no header keeps the loop waiting past the bound it reads.
#include "fuzz/fuzz_check.h"
#include "service/proxy_header.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ProxyHeader header = ReadProxyHeader(bytes);
    if (header.state == ProxyHeader::State::Incomplete) {
        Require(size < proxyHeaderLimit, "a header never waits past its bound");
        return 0;
    }
    if (header.state == ProxyHeader::State::Invalid)
        return 0;
    Require(header.length > 0 && header.length <= size && header.length <= proxyHeaderLimit, "a header within the bytes");
    const ProxyHeader alone = ReadProxyHeader(bytes.substr(0, header.length));
    Require(alone.state == ProxyHeader::State::Complete && alone.length == header.length &&
                alone.carriesClient == header.carriesClient,
            "a header reads the same without what follows it");
    for (std::size_t prefix = 0; prefix < header.length; ++prefix)
        Require(ReadProxyHeader(bytes.substr(0, prefix)).state == ProxyHeader::State::Incomplete,
                "every byte before a header's end is taken as header");
    return 0;
}
