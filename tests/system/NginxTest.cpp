#include <pwd.h>

#include "ServerCases.h"

namespace relaybox {
namespace {

constexpr TSide K = TSide::Kept;
constexpr TSide C = TSide::Closed;
constexpr int Codes[] = {301, 302, 303, 307};

// The locations both server blocks share. nginx writes Location absolute (with the port)
// unless absolute_redirect is off; its redirects carry a small HTML page, except where an
// empty file stands in as the error page.
std::string Locations(const TPorts& ports, int closedPort) {
  std::string text = "    location = /bad { proxy_pass http://127.0.0.1:" + std::to_string(closedPort) + "; }\n";
  for (const int code : Codes) {
    const std::string c = std::to_string(code);
    text += "    location = /moved/" + c + " { return " + c + " /plain.txt; }\n";
    text += "    location = /bare/" + c + " { error_page " + c + " /empty.txt; return " + c + " /plain.txt; }\n";
  }
  // Six links; the Location forms take turns: absolute URL, absolute path, bare name.
  for (int i = 1; i <= 6; ++i) {
    const std::string next = std::to_string(i + 1);
    const std::string target = i == 6 ? "/plain.txt" : i % 3 == 0 ? next : "/chain/" + next;
    text += "    location = /chain/" + std::to_string(i) + " {" + (i % 3 == 1 ? "" : " absolute_redirect off;") +
            " return 302 " + target + "; }\n";
    // sub_filter drops the length: the HTTP/1.0 reply then ends with the connection. (307:
    // a 301 or 302 without a length has no body for the client.)
    text += "    location = /unsized/" + std::to_string(i) + " { sub_filter '</html>' '</html>'; return 307 " +
            (i == 6 ? "/plain.txt" : "/unsized/" + next) + "; }\n";
  }
  text += "    location = /cross { return 302 http://127.0.0.1:" + std::to_string(ports.Closed) + "/plain.txt; }\n";
  text += "    location = /tls { return 302 https://127.0.0.1:" + std::to_string(ports.Kept) + "/plain.txt; }\n";
  return text;
}

// In the foreground, one process, never switching users: as root the "user" line names root
// itself, so the temporary folders nginx makes stay ours; as anyone else nginx ignores it.
std::string Config(const std::string& folder, const TPorts& ports, int closedPort) {
  const passwd* self = ::getpwuid(::geteuid());
  const std::string user = ::geteuid() == 0 && self != nullptr ? "user " + std::string(self->pw_name) + ";\n" : "";
  const std::string locations = Locations(ports, closedPort);
  return "daemon off;\nmaster_process off;\nworker_processes 1;\n" + user + "pid " + folder + "nginx.pid;\n" +
         "error_log " + folder + "error.log info;\n" +
         "events { worker_connections 64; }\n"
         "http {\n"
         "  client_body_temp_path " + folder + "temp-body;\n" +
         "  proxy_temp_path " + folder + "temp-proxy;\n" +
         "  fastcgi_temp_path " + folder + "temp-fastcgi;\n" +
         "  uwsgi_temp_path " + folder + "temp-uwsgi;\n" +
         "  scgi_temp_path " + folder + "temp-scgi;\n" +
         "  types { text/plain txt; application/octet-stream bin; }\n"
         "  log_format relay \"$request\t$status\t$http_host\t$http_connection\t$http_accept\t$http_user_agent\t"
         "$http_accept_encoding\t$server_port\t$sent_http_content_encoding\";\n"
         "  access_log " + folder + "access.log relay;\n" +
         "  root " + folder + "www;\n" +
         "  gzip on; gzip_types text/plain; gzip_min_length 1; gzip_http_version 1.0; gzip_proxied any;\n"
         "  server {\n    listen 127.0.0.1:" + std::to_string(ports.Kept) + ";\n" + locations + "  }\n" +
         "  server {\n    listen 127.0.0.1:" + std::to_string(ports.Closed) + ";\n    keepalive_timeout 0;\n" +
         locations + "  }\n}\n";
}

std::vector<TServerCase> Cases() {
  std::vector<TServerCase> cases = {
      {"plain text", K, "/plain.txt", {{K, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
      {"missing page", K, "/missing.txt", {{K, "/missing.txt", 404}}, 404, 1, "", "404 Not Found"},
      {"proxy to a closed port", K, "/bad", {{K, "/bad", 502}}, 502, 1, "", "502 Bad Gateway"},
      {"compression on, not offered", K, "/compressible.txt", {{K, "/compressible.txt", 200}}, 200, 0,
       "compressible.txt", ""},
      {"5 MB file", K, "/big.bin", {{K, "/big.bin", 200}}, 200, 0, "big.bin", ""},
      // Five relocations on the kept connection; the sixth redirect is the result.
      {"chain, kept", K, "/chain/1",
       {{K, "/chain/1", 302}, {K, "/chain/2", 302}, {K, "/chain/3", 302}, {K, "/chain/4", 302}, {K, "/chain/5", 302},
        {K, "/chain/6", 302}},
       302, 0, "", "302 Found"},
      // Each relocation over a new connection counts twice: the third redirect is the result.
      {"chain, closed", C, "/chain/1", {{C, "/chain/1", 302}, {C, "/chain/2", 302}, {C, "/chain/3", 302}}, 302, 0, "",
       "302 Found"},
      // Bodies that end with the connection count once each.
      {"chain of bodies ended by the close", K, "/unsized/1",
       {{K, "/unsized/1", 307}, {K, "/unsized/2", 307}, {K, "/unsized/3", 307}, {K, "/unsized/4", 307},
        {K, "/unsized/5", 307}, {K, "/unsized/6", 307}},
       307, 0, "", "307 Temporary Redirect"},
      {"to another port", K, "/cross", {{K, "/cross", 302}, {C, "/plain.txt", 200}}, 200, 0, "plain.txt", ""},
      {"to https", K, "/tls", {{K, "/tls", 302}}, 501, 3, "", ""},
  };
  AddRedirectCases(cases);
  return cases;
}

class NginxTest : public ::testing::Test {
protected:
  void SetUp() override {
    const std::vector<int> free = FreePorts(3);
    Ports = {free[0], free[1]};
    const std::string folder = Server.Folder();
    WriteDocuments(Server);
    Server.Write("nginx.conf", Config(folder, Ports, free[2]));
    std::string error;
    ASSERT_TRUE(Server.Start({"/usr/sbin/nginx", "-p", folder, "-c", folder + "nginx.conf", "-e", folder + "error.log"},
                             {Ports.Kept, Ports.Closed}, error))
        << error;
  }

  TServerProcess Server;
  TPorts Ports;
};

TEST_F(NginxTest, CompressesWhenOffered) { ExpectCompressionWhenOffered(Ports.Kept); }

TEST_F(NginxTest, FetchGetsEachReplyAsTheRulesSay) { ExpectFetchResults(Server, Ports, Cases()); }

TEST_F(NginxTest, RelayDeliversEveryUpdateInOrder) { ExpectRelayDelivers(Server, Ports, Cases()); }

} // namespace
} // namespace relaybox
