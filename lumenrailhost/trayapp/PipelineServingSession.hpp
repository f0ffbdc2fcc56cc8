#pragma once

// The tray controller's serving session over M2Pipeline on the Linux desktop;
// the session's owner hooks are handed to the main queue.

#include <memory>
#include <string>
#include <vector>

#include "app/controller/ServingSession.hpp"
#include "platform/Executor.hpp"
#include "session/ServeSwitches.hpp"

namespace lumenrail {

class M2Pipeline;

class PipelineServingSession final : public ServingSession {
 public:
  // Throws std::invalid_argument for a mode the encoder cannot carry.
  PipelineServingSession(const SessionConfig& config, ServeSwitches switches, std::shared_ptr<Executor> main);

  void setHooks(Hooks hooks) override;
  bool startServing() override;
  std::string startFailure() const override;
  void stopServing() override;
  bool captureMain() const override;
  void setCaptureMain(bool on) override;
  void setPenHighRate(bool on) override;
  int64_t clientCount() const override;
  void setVersionVerdict(int64_t floor, HostUpdate update, const std::string& version) override;
  ServingSessionView* view() override { return view_.get(); }

  const std::shared_ptr<M2Pipeline>& pipeline() const { return pipeline_; }

 private:
  std::shared_ptr<M2Pipeline> pipeline_;
  std::shared_ptr<Executor> main_;
  std::unique_ptr<ServingSessionView> view_;
};

}  // namespace lumenrail
