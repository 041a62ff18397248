#include <pwd.h>

#include "ServerCases.h"

namespace relaybox {
namespace {

constexpr TSide K = TSide::Kept;
constexpr TSide S = TSide::Secure;
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
  text += "    location = /tls { return 302 https://127.0.0.1:1/plain.txt; }\n";
  text += "    location = /to-https { return 302 https://127.0.0.1:" + std::to_string(ports.Secure) + "/to-http; }\n";
  text += "    location = /to-http { return 302 http://127.0.0.1:" + std::to_string(ports.Kept) + "/plain.txt; }\n";
  return text;
}

// In the foreground, one process, never switching users: as root the "user" line names root
// itself, so the temporary folders nginx makes stay ours; as anyone else nginx ignores it.
std::vector<std::string> Configure(const TServerProcess& server, const TPorts& ports, int closedPort) {
  const std::string folder = server.Folder();
  const passwd* self = ::getpwuid(::geteuid());
  const std::string user = ::geteuid() == 0 && self != nullptr ? "user " + std::string(self->pw_name) + ";\n" : "";
  const std::string locations = Locations(ports, closedPort);
  const std::string text = "daemon off;\nmaster_process off;\nworker_processes 1;\n" + user +
         "pid " + folder + "nginx.pid;\n" +
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
         locations + "  }\n" +
         "  server {\n    listen 127.0.0.1:" + std::to_string(ports.Secure) + " ssl;\n" +
         "    ssl_certificate " + folder + TlsCertificate + ";\n    ssl_certificate_key " + folder + TlsKey + ";\n" +
         locations + "  }\n}\n";
  server.Write("nginx.conf", text);
  return {"/usr/sbin/nginx", "-p", folder, "-c", folder + "nginx.conf", "-e", folder + "error.log"};
}

std::vector<TServerCase> Cases() {
  return {
      {"proxy to a closed port", K, "/bad", {{K, "/bad", 502}}, 502, 1, "", "502 Bad Gateway"},
      // Bodies that end with the connection: each relocation still counts once.
      {"chain of bodies ended by the close", K, "/unsized/1",
       {{K, "/unsized/1", 307}, {K, "/unsized/2", 307}, {K, "/unsized/3", 307}, {K, "/unsized/4", 307},
        {K, "/unsized/5", 307}, {K, "/unsized/6", 307}},
       0, 3, "", "", "too many redirects"},
      // Followed to https, where nothing listens (port 1): the delivery fails as refused.
      {"to https", K, "/tls", {{K, "/tls", 302}}, 302, 3, "", "", "refused"},
      // A body that ends with the TLS connection, then the next request on a new one.
      {"redirect with a body ended by the close, https", S, "/unsized/6", {{S, "/unsized/6", 307}, {S, "/plain.txt", 200}},
       200, 0, "plain.txt", ""},
  };
}

} // namespace

TServerKind NginxServer() { return {"Nginx", Configure, Cases, true}; }

} // namespace relaybox
