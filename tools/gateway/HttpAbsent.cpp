// The console where cpp-httplib was not found at build time: the gateway refuses an [http]
// setting instead of running without what it was asked for.
#include "gateway/Http.h"

namespace trovel::gateway {

struct HttpServer::Impl {};

HttpServer::HttpServer(HttpSettings, std::vector<LineService*>, StateStore&, Log&) {}
HttpServer::~HttpServer() = default;

bool HttpServer::Start(std::string& error)
{
    error = "the console is not in this build of trovel-gateway (it was built without cpp-httplib: "
            "libcpp-httplib-dev on Linux, the single header from scripts/bootstrap for Windows); "
            "remove --http and the [http] table, or use a build that has it";
    return false;
}

void HttpServer::Stop() {}
std::string HttpServer::Url() const { return {}; }

} // namespace trovel::gateway
