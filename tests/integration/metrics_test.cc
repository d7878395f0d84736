// The counters for monitoring at /metrics: the page parses as the
// Prometheus text format, its values move with the traffic the test makes,
// and only loopback and the listed addresses read it.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "browser.h"
#include "client/encode.h"
#include "http/http_server.h"
#include "session_fixture.h"

namespace zanth::testing {
namespace {

// A parser of the text exposition format, version 0.0.4, written from its
// description: "# HELP name text" and "# TYPE name type" lines, other
// comments, blank lines, and samples "name{label="value",...} value
// [timestamp]". A family's HELP and TYPE come before its samples, at most
// once each, and its samples stand together.
class Exposition {
 public:
  // Parses text; false with error() set at the first fault.
  bool Parse(const std::string& text) {
    if (!text.empty() && text.back() != '\n') return Fail("the text does not end with a line end");
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      line_ = text.substr(start, end - start);
      start = end + 1;
      if (!ParseLine()) return false;
    }
    return true;
  }

  const std::string& error() const { return error_; }
  // The value of a sample, keyed "name" or "name{a="x",b="y"}" with the
  // labels sorted; NaN when there is none.
  double Value(const std::string& key) const {
    auto it = samples_.find(key);
    return it == samples_.end() ? std::nan("") : it->second;
  }
  const std::string& TypeOf(const std::string& family) const { return types_.at(family); }

 private:
  bool Fail(const std::string& why) {
    error_ = why + ": \"" + line_ + "\"";
    return false;
  }

  static bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
  }
  static bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

  // A metric or label name at pos_; label names take no colon.
  bool Name(std::string* out, bool label) {
    std::size_t begin = pos_;
    while (pos_ < line_.size() && IsNameChar(line_[pos_]) && !(label && line_[pos_] == ':')) {
      if (pos_ == begin && !IsNameStart(line_[pos_])) break;
      ++pos_;
    }
    *out = line_.substr(begin, pos_ - begin);
    return !out->empty();
  }

  bool Number(const std::string& text, double* out) {
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
      *out = text == "NaN" ? std::nan("") : text[0] == '+' ? INFINITY : -INFINITY;
      return true;
    }
    char* end = nullptr;
    *out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
  }

  bool ParseLine() {
    pos_ = 0;
    if (line_.empty()) return true;
    if (line_[0] == '#') return Comment();
    std::string name;
    if (!Name(&name, false)) return Fail("a sample without a metric name");
    std::set<std::pair<std::string, std::string>> labels;
    if (pos_ < line_.size() && line_[pos_] == '{') {
      ++pos_;
      while (pos_ < line_.size() && line_[pos_] != '}') {
        std::string label;
        if (!Name(&label, true)) return Fail("a bad label name");
        if (pos_ + 1 >= line_.size() || line_[pos_] != '=' || line_[pos_ + 1] != '"') {
          return Fail("a label without =\"");
        }
        pos_ += 2;
        std::string value;
        while (pos_ < line_.size() && line_[pos_] != '"') {
          if (line_[pos_] == '\\') {
            if (++pos_ >= line_.size()) return Fail("an escape at the end");
            char c = line_[pos_];
            if (c != '\\' && c != '"' && c != 'n') return Fail("an unknown escape");
            value += c == 'n' ? '\n' : c;
          } else {
            value += line_[pos_];
          }
          ++pos_;
        }
        if (pos_ >= line_.size()) return Fail("an unterminated label value");
        ++pos_;
        if (!labels.emplace(label, value).second) return Fail("a label given twice");
        if (pos_ < line_.size() && line_[pos_] == ',') ++pos_;
      }
      if (pos_ >= line_.size()) return Fail("unterminated labels");
      ++pos_;
    }
    if (pos_ >= line_.size() || line_[pos_] != ' ') return Fail("no blank before the value");
    std::string rest = line_.substr(pos_ + 1);
    std::size_t blank = rest.find(' ');
    double value = 0;
    if (!Number(rest.substr(0, blank), &value)) return Fail("a bad value");
    if (blank != std::string::npos) {
      double timestamp = 0;
      if (!Number(rest.substr(blank + 1), &timestamp)) return Fail("a bad timestamp");
    }
    // Counters and gauges are sampled under their family's own name.
    if (name != family_) {
      if (done_.count(name) > 0) return Fail("a family's samples apart");
      if (!family_.empty()) done_.insert(family_);
      family_ = name;
    }
    if (types_.count(name) == 0) return Fail("a sample before its TYPE");
    std::string key = name;
    if (!labels.empty()) {
      key += '{';
      for (const auto& [label, text] : labels) {
        if (key.back() != '{') key += ',';
        key += label + "=\"" + text + "\"";
      }
      key += '}';
    }
    if (!samples_.emplace(key, value).second) return Fail("a sample given twice");
    return true;
  }

  bool Comment() {
    // "# HELP name text" or "# TYPE name type"; any other comment is free.
    for (const char* kind : {"# HELP ", "# TYPE "}) {
      if (line_.rfind(kind, 0) != 0) continue;
      pos_ = 7;
      std::string name;
      if (!Name(&name, false)) return Fail("a comment without a metric name");
      if (samples_of(name)) return Fail("HELP or TYPE after the samples");
      if (kind[2] == 'H') {
        if (!helps_.insert(name).second) return Fail("a second HELP");
        return true;
      }
      static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary",
                                                   "untyped"};
      if (pos_ >= line_.size() || line_[pos_] != ' ' || kTypes.count(line_.substr(pos_ + 1)) == 0) {
        return Fail("an unknown type");
      }
      if (!types_.emplace(name, line_.substr(pos_ + 1)).second) return Fail("a second TYPE");
      return true;
    }
    return true;
  }

  bool samples_of(const std::string& name) const { return family_ == name || done_.count(name); }

  std::string line_;
  std::size_t pos_ = 0;
  std::string error_;
  std::string family_;
  std::set<std::string> done_;
  std::set<std::string> helps_;
  std::map<std::string, std::string> types_;
  std::map<std::string, double> samples_;
};

TEST(ExpositionTest, ParserRefusesWhatTheFormatForbids) {
  const char* const kBad[] = {
      "zanth_x 1\n",                                    // no TYPE
      "# TYPE zanth_x counter\nzanth_x one\n",          // not a number
      "# TYPE zanth_x counter\nzanth_x{a=\"1\" 2\n",    // unterminated labels
      "# TYPE zanth_x counter\nzanth_x{a=1} 2\n",       // unquoted value
      "# TYPE zanth_x gauge\n# TYPE zanth_x gauge\n",   // two TYPEs
      "# TYPE zanth_x gauge\nzanth_x 1\n# HELP zanth_x late\n",
      "# TYPE zanth_x gauge\n# TYPE zanth_y gauge\nzanth_x 1\nzanth_y 1\nzanth_x{a=\"b\"} 1\n",
      "# TYPE zanth_x gauge\nzanth_x 1",                 // no final line end
      "# TYPE zanth_x gauge\nzanth_x 1\nzanth_x 2\n",   // the same sample twice
  };
  for (const char* text : kBad) EXPECT_FALSE(Exposition().Parse(text)) << text;
  Exposition good;
  EXPECT_TRUE(good.Parse("# HELP zanth_x A thing.\n# TYPE zanth_x counter\n"
                         "zanth_x{b=\"\\\"q\\\"\",a=\"1\"} 3 1700000000000\n\n# free comment\n"))
      << good.error();
  EXPECT_EQ(3, good.Value("zanth_x{a=\"1\",b=\"\"q\"\"}"));
}

// What one request for the counters returns.
struct Scrape {
  std::string head;
  std::string body;
  Exposition values;
};

class MetricsTest : public SessionTest {
 protected:
  // Asks for /metrics from the local address from, with extra header lines.
  std::string Ask(const std::string& from, const std::string& headers = "") {
    return FetchRaw(server_->http_port(),
                    "GET /metrics HTTP/1.1\r\nHost: t\r\n" + headers + "\r\n", from);
  }

  Scrape Read(const std::string& from = "127.0.0.1", const std::string& headers = "") {
    std::string answer = Ask(from, headers);
    Scrape scrape;
    std::size_t end = answer.find("\r\n\r\n");
    EXPECT_NE(std::string::npos, end) << answer;
    if (end == std::string::npos) return scrape;
    scrape.head = answer.substr(0, end + 4);
    scrape.body = answer.substr(end + 4);
    EXPECT_TRUE(scrape.values.Parse(scrape.body)) << scrape.values.error();
    return scrape;
  }
};

TEST_F(MetricsTest, CountersMoveWithTheTrafficAndOnlyListedAddressesReadThem) {
  StartServer(InProcessServer::DefaultRooms(),
              "trustedproxy=\"127.0.0.5\" metricsfrom=\"192.0.2.7, nonsense\"");
  EXPECT_TRUE(server_->WaitForLog("Ignoring \"nonsense\" in metricsfrom: not an address"));
  Scrape before = Read();
  ASSERT_EQ(0u, before.head.find("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(std::string::npos,
            before.head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
  EXPECT_NE(std::string::npos, before.head.find("\r\nContent-Length: " +
                                                std::to_string(before.body.size()) + "\r\n"));
  EXPECT_EQ("counter", before.values.TypeOf("zanth_talk_lines_total"));
  EXPECT_EQ("gauge", before.values.TypeOf("zanth_users_signed_on"));
  EXPECT_EQ(2, before.values.Value("zanth_rooms"));
  EXPECT_EQ(0, before.values.Value("zanth_users_signed_on"));

  // Two chat clients and a browser in the gate; one line said to all three.
  auto ann = SignOn("Ann");
  auto bob = SignOn("Bob");
  Browser browser;
  std::uint16_t port = server_->http_port();
  ASSERT_TRUE(browser.Open(port, kUpgrade, "127.0.0.9").starts_with("HTTP/1.1 101"));
  ASSERT_NE(0u, browser.SignOn("Webber"));
  client::Message m;
  ASSERT_EQ(0, ann->SendTalk("hello all"));
  EXPECT_EQ("hello all", ExpectTalk(*bob).text);
  ASSERT_TRUE(browser.WaitFor(TypeCode("Talk"), &m));
  EXPECT_EQ(std::string(http::kNotFound), FetchRaw(port, "GET /none HTTP/1.1\r\n\r\n"));
  // A browser that breaks the frame rules is dropped for bad data.
  Browser rude;
  ASSERT_TRUE(rude.Open(port, kUpgrade, "127.0.0.10").starts_with("HTTP/1.1 101"));
  rude.SendFrame(0x81, {'h', 'i'});
  ASSERT_TRUE(rude.WaitClosed());

  Scrape after = Read();
  auto moved = [&](const std::string& key) {
    return after.values.Value(key) - before.values.Value(key);
  };
  EXPECT_EQ(2, after.values.Value("zanth_connections{kind=\"chat\"}"));
  EXPECT_EQ(1, after.values.Value("zanth_connections{kind=\"browser\"}"));
  EXPECT_EQ(1, after.values.Value("zanth_connections{kind=\"http\"}"));  // this request
  EXPECT_EQ(3, after.values.Value("zanth_users_signed_on"));
  EXPECT_EQ(2, moved("zanth_connections_accepted_total{kind=\"chat\"}"));
  EXPECT_EQ(2, moved("zanth_connections_accepted_total{kind=\"browser\"}"));
  // The 404, two upgrades and this request.
  EXPECT_EQ(4, moved("zanth_connections_accepted_total{kind=\"http\"}"));
  EXPECT_EQ(1, moved("zanth_talk_lines_total"));
  EXPECT_EQ(3, moved("zanth_talk_deliveries_total"));  // the speaker's own copy too
  EXPECT_EQ(1, moved("zanth_dropped_connections_total{reason=\"bad_data\"}"));
  EXPECT_EQ(0, moved("zanth_dropped_connections_total{reason=\"output_queue_full\"}"));
  EXPECT_EQ(1, moved("zanth_http_responses_total{status=\"200\"}"));  // the first scrape
  EXPECT_EQ(2, moved("zanth_http_responses_total{status=\"101\"}"));
  EXPECT_EQ(1, moved("zanth_http_responses_total{status=\"404\"}"));
  EXPECT_EQ(0, moved("zanth_tls_handshakes_failed_total"));
  EXPECT_GT(moved("zanth_received_bytes_total"), 100);
  EXPECT_GT(moved("zanth_sent_bytes_total"), before.body.size());

  // Behind the trusted proxy the visitor's address decides: a listed one
  // reads the counters, anyone else gets the ordinary 404.
  EXPECT_EQ(0u, Read("127.0.0.5", "X-Forwarded-For: 192.0.2.7\r\n").head.find("HTTP/1.1 200 OK"));
  EXPECT_EQ(std::string(http::kNotFound), Ask("127.0.0.5", "X-Forwarded-For: 192.0.2.8\r\n"));
  // An untrusted proxy on this machine does not make its visitors local.
  EXPECT_EQ(std::string(http::kNotFound), Ask("127.0.0.1", "X-Forwarded-For: 192.0.2.7\r\n"));
  // A media file of that name is served to those who may not read the
  // counters, as before there were any.
  std::ofstream(server_->data_dir() + "media/metrics") << "the owner's file";
  std::string file = Ask("127.0.0.5", "X-Forwarded-For: 192.0.2.8\r\n");
  EXPECT_EQ(0u, file.find("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ("the owner's file", file.substr(file.find("\r\n\r\n") + 4));
  EXPECT_NE(std::string::npos, Read().body.find("# TYPE zanth_rooms gauge\n"));
}

}  // namespace
}  // namespace zanth::testing
