// The real server on a thread of the test process.
#include "support/in_process_server.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "support/server_process.h"

namespace zanth::testing {

std::string InProcessServer::DefaultRooms() {
  return "  <room id=\"100\" name=\"gate\" gate=\"yes\" desc=\"gate.rmd\" src=\"gate.rmd\"/>\n"
         "  <room id=\"101\" name=\"timeout\" timeout=\"yes\" hidden=\"yes\" staff=\"yes\""
         " desc=\"timeout.rmd\" src=\"timeout.rmd\"/>\n";
}

InProcessServer::InProcessServer(const std::string& extra_xml,
                                 const std::string& sitename_attributes, bool https) {
  mkdir(data_dir().c_str(), 0755);
  mkdir((data_dir() + "media").c_str(), 0755);
  platform::SetClock(&clock_);
  // A port picked as free can be taken by another test's connection before
  // the server binds it; a few fresh picks make that harmless.
  for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
    chat_port_ = PickFreePort();
    http_port_ = PickFreePort();
    while (http_port_ == chat_port_) http_port_ = PickFreePort();
    if (https) {
      https_port_ = PickFreePort();
      while (https_port_ == chat_port_ || https_port_ == http_port_) https_port_ = PickFreePort();
    }
    {
      std::ofstream out(data_dir() + "zanth.conf");
      out << "<?xml version=\"1.0\"?>\n<zanthd>\n"
          << "  <sitename address=\"127.0.0.1\" port=\"" << chat_port_ << "\" httpport=\""
          << http_port_ << "\" "
          << (https ? "httpsport=\"" + std::to_string(https_port_) + "\" " : std::string())
          << sitename_attributes << ">Test Site</sitename>\n"
          << "  <propurl>http://127.0.0.1/props/</propurl>\n"
          << "  <baseurl src=\"" << data_dir() << "media/\">http://127.0.0.1/</baseurl>\n"
          << extra_xml << "</zanthd>\n";
    }
    ServerOptions options;
    options.documents_folder = dir_.path();
    options.handle_signals = false;
    server_ = std::make_unique<Server>(options);
    started_ = server_->Start() == Server::kStarted;
    if (!started_) {
      start_failure_ = server_->start_failure();
      server_.reset();
    }
  }
  if (started_) StartLoop();
}

InProcessServer::~InProcessServer() {
  StopLoop();
  server_.reset();
  platform::SetClock(nullptr);
}

void InProcessServer::StartLoop() {
  server_->ClearStopRequest();
  thread_ = std::thread([this] { server_->Run(); });
}

void InProcessServer::StopLoop() {
  if (server_ == nullptr) return;
  server_->RequestStop();
  if (thread_.joinable()) thread_.join();
}

std::string InProcessServer::Log() const { return ReadFileText(data_dir() + "zanth.log"); }

bool InProcessServer::WaitForLog(const std::string& text, int count, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  do {
    std::string log = Log();
    int found = 0;
    for (std::size_t pos = log.find(text); pos != std::string::npos;
         pos = log.find(text, pos + text.size())) {
      ++found;
    }
    if (found >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace zanth::testing
