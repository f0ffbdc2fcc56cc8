#include "trayapp/PipelineServingSession.hpp"

#include "desktop/DesktopChoice.hpp"
#include "session/M2Pipeline.hpp"

namespace lumenrail {

namespace {

class PipelineView final : public ServingSessionView {
 public:
  explicit PipelineView(M2Pipeline& pipeline) : pipeline_(pipeline) {}
  std::string modeLabel() const override { return M2Pipeline::label(pipeline_.mode()); }
  bool captureMain() const override { return pipeline_.captureMain(); }
  bool extendRefused() const override { return pipeline_.extendRefused(); }
  bool penHighRateApplied() const override { return pipeline_.penHighRateApplied(); }
  std::optional<std::string> mainFingerprint() const override { return pipeline_.mainFingerprint(); }
  std::vector<SessionClient> connectedClients() const override {
    std::vector<SessionClient> clients;
    if (const auto& server = pipeline_.server()) {
      for (const auto& c : server->connectedClients()) clients.push_back({c.fd, c.name, c.fingerprint, c.overNetwork});
    }
    return clients;
  }
  std::optional<PeerVersion> peerVersion(int32_t fd) const override {
    const auto& server = pipeline_.server();
    return server ? server->peerVersion(fd) : std::nullopt;
  }
  void setMainDevice(const std::string& fingerprint) override { pipeline_.setMainDevice(fingerprint); }
  void disconnect(const std::string& fingerprint) override {
    if (const auto& server = pipeline_.server()) server->disconnect(fingerprint);
  }

 private:
  M2Pipeline& pipeline_;
};

}  // namespace

PipelineServingSession::PipelineServingSession(const SessionConfig& config, ServeSwitches switches, std::shared_ptr<Executor> main)
    : main_(std::move(main)) {
  M2Pipeline::Config c;
  c.mode = {config.width, config.height, config.fps};
  c.port = config.port;
  c.captureMain = config.captureMain;
  c.usb = config.usb;
  c.psk = config.psk;
  c.pairing = config.pairing;
  c.penHighRate = config.penHighRate;
  c.switches = std::move(switches);
  c.desktop = DesktopChoice::make([](const std::string& text) { Log::line(text); });
  pipeline_ = M2Pipeline::create(std::move(c));
  view_ = std::make_unique<PipelineView>(*pipeline_);
}

void PipelineServingSession::setHooks(Hooks hooks) {
  pipeline_->onClientMustUpdate = [main = main_, hook = hooks.onClientMustUpdate](const std::optional<std::string>& name) {
    if (hook) main->post([hook, name] { hook(name); });
  };
  pipeline_->onClientNamed = [main = main_, hook = hooks.onClientNamed](const std::string& name, bool overNetwork) {
    if (hook) main->post([hook, name, overNetwork] { hook(name, overNetwork); });
  };
}

bool PipelineServingSession::startServing() { return pipeline_->startServing(); }
std::string PipelineServingSession::startFailure() const { return pipeline_->startFailure(); }
void PipelineServingSession::stopServing() { pipeline_->stopServing(); }
bool PipelineServingSession::captureMain() const { return pipeline_->captureMain(); }
void PipelineServingSession::setCaptureMain(bool on) { pipeline_->setCaptureMain(on); }
void PipelineServingSession::setPenHighRate(bool on) { pipeline_->setPenHighRate(on); }
int64_t PipelineServingSession::clientCount() const { return pipeline_->server()->clientCount(); }

void PipelineServingSession::setVersionVerdict(int64_t floor, HostUpdate update, const std::string& version) {
  pipeline_->server()->setVersionVerdict(floor, update, version);
}

}  // namespace lumenrail
