// The connection, its adaptors and HTTP framing (parsed with llhttp).

#include "qznet.h"

#include <llhttp.h>

#include <cstring>

#include "qz.h"

namespace qz {

void Buffer::append(const char* text) {
  append(text, std::strlen(text));
}

std::string PortAddr::text() const {
  return host_.find(':') != std::string::npos ? "[" + host_ + "]:" + port_ : host_ + ":" + port_;
}

void Connection::push(Adaptor* adaptor) {
  std::unique_ptr<Adaptor> owned(adaptor);
  owned->below_ = adaptors_.empty() ? nullptr : adaptors_.back().get();
  owned->connection_ = this;
  adaptors_.push_back(std::move(owned));
}

int Connection::remainingMs() const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline_ - std::chrono::steady_clock::now())
                  .count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

Adaptor& Connection::top() {
  if (adaptors_.empty()) throw X(kXNet, "connection without adaptors");
  return *adaptors_.back();
}

void Connection::write(const Buffer& data) {
  top().write(data);
}

void Connection::read(Buffer& into) {
  into.clear();
  top().read(into);
}

std::unique_ptr<Connection> tcp_connect(const PortAddr& address) {
  int timeoutMs = getVarInt("qz.net.timeout", 30000);
  if (timeoutMs <= 0) timeoutMs = 30000;
  auto start = std::chrono::steady_clock::now();
  net::Socket socket = net::Socket::connect(address.host(), address.port(), timeoutMs);
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count();
  return std::make_unique<Connection>(std::move(socket), address,
                                      static_cast<int>(timeoutMs - spent));
}

void tcp_close(Connection& connection) {
  connection.close();
}

// ---- TCP ----------------------------------------------------------------------------------

void TcpAdaptor::write(const Buffer& data) {
  if (!connection().socket().isOpen()) throw X(kXNet, "connection closed");
  connection().socket().sendAll(data.getROPtr(0), data.size(), connection().remainingMs());
}

bool TcpAdaptor::read(Buffer& into) {
  if (!connection().socket().isOpen()) throw X(kXNet, "connection closed");
  char chunk[16384];
  size_t n = connection().socket().receive(chunk, sizeof chunk, connection().remainingMs());
  into.append(chunk, n);
  return n > 0;
}

// ---- HTTP ---------------------------------------------------------------------------------

void HttpAdaptor::write(const Buffer& data) {
  if (below() == nullptr) throw X(kXNet, "HTTP adaptor without a transport below it");
  std::string head =
      "POST / HTTP/1.1\r\nHost: " + connection().peer().text() +
      "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(data.size()) + "\r\n";
  if (closeAfter_) head += "Connection: close\r\n";
  head += "\r\n";
  Buffer request(head.size() + data.size());
  request.append(head.data(), head.size());
  request.append(data.getROPtr(0), data.size());
  below()->write(request);
}

namespace {

// What the parser callbacks collect for one response.
struct Answer {
  Buffer* body;
  size_t bodySize = 0;
  bool tooLarge = false;
  bool complete = false;
};

// An answer whose length is given is refused on its head, before a byte of its body is read;
// one without (chunked, or until the close) is counted as it comes, in onBody.
int onHeadersComplete(llhttp_t* parser) {
  if ((parser->flags & F_CONTENT_LENGTH) && parser->content_length > HttpAdaptor::kMaxAnswer) {
    static_cast<Answer*>(parser->data)->tooLarge = true;
    return -1;
  }
  return 0;
}

int onBody(llhttp_t* parser, const char* at, size_t length) {
  Answer* a = static_cast<Answer*>(parser->data);
  if (a->bodySize + length > HttpAdaptor::kMaxAnswer) {
    a->tooLarge = true;
    return -1;
  }
  a->body->append(at, length);
  a->bodySize += length;
  return 0;
}

int onMessageComplete(llhttp_t* parser) {
  static_cast<Answer*>(parser->data)->complete = true;
  return HPE_PAUSED;  // one answer is all we read
}

}  // namespace

bool HttpAdaptor::read(Buffer& into) {
  if (below() == nullptr) throw X(kXNet, "HTTP adaptor without a transport below it");
  llhttp_settings_t settings;
  llhttp_settings_init(&settings);
  settings.on_headers_complete = onHeadersComplete;
  settings.on_body = onBody;
  settings.on_message_complete = onMessageComplete;
  llhttp_t parser;
  llhttp_init(&parser, HTTP_RESPONSE, &settings);
  Answer answer{&into};
  parser.data = &answer;

  // Headers and framing may add to the body, but not without bound.
  const size_t maxTotal = kMaxAnswer + (1u << 20);
  size_t total = 0;
  Buffer chunk(16384);
  while (!answer.complete) {
    chunk.clear();
    bool more = below()->read(chunk);
    total += chunk.size();
    if (total > maxTotal) throw X(kXNet, "answer larger than 16 MiB");
    llhttp_errno_t rc =
        more ? llhttp_execute(&parser, chunk.getROPtr(0), chunk.size()) : llhttp_finish(&parser);
    if (answer.tooLarge) throw X(kXNet, "answer larger than 16 MiB");
    if (!more && !answer.complete) throw X(kXNet, "connection closed before a whole answer");
    if (rc != HPE_OK && rc != HPE_PAUSED)
      throw X(kXNet, static_cast<int>(rc),
              std::string("malformed answer: ") + llhttp_get_error_reason(&parser));
  }
  int status = parser.status_code;
  if (status < 200 || status > 299) {
    std::string text(into.getROPtr(0), into.size() < 200 ? into.size() : 200);
    throw X(
        kXNet, status,
        "answer with HTTP status " + std::to_string(status) + (text.empty() ? "" : ": " + text));
  }
  return true;
}

}  // namespace qz
