// The station as GEM equipment (SEMI E30) for the factory's host, over one HSMS link: the
// communications, control and processing state models, status and data variables, collection
// events with the host's own reports, alarms, equipment constants, remote commands, process
// programs and terminal services. docs/gem.md is its manual.
//
// Everything the host asks and everything the station tells is handled in order on the
// equipment's own thread; lot commands run on a second one, so that a lot's start (which loads
// its program) never holds up the host's other messages.
#ifndef ATE_STATION_GEM_GEMEQUIPMENT_H_
#define ATE_STATION_GEM_GEMEQUIPMENT_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "station/gem/GemModel.h"
#include "station/gem/HsmsLink.h"
#include "station/gem/Secs2.h"
#include "station/lot/LotRequest.h"

namespace gem {

// The station's state as the status variables show it; the station hands a fresh one with every
// change.
struct StationStatus {
  bool lotActive = false;  // running or paused
  bool paused = false;
  std::string lotId, sublotId, operatorId, productId, waferId, handlerState;
  std::string program;  // of the running lot
  long siteCount = 0;
  long parts = 0, good = 0;
  std::vector<std::pair<std::uint32_t, long>> hardBins, softBins;  // bin, count
};

// What happened at the station that the host hears of.
struct StationEvent {
  enum class Kind {
    status,  // only the status changed
    lotStarted,
    lotPaused,
    lotResumed,
    lotEnded,
    lotResumedAfterRestart,
    waferStarted,
    waferEnded,
    touchdownDone,
    alarmSet,
    alarmCleared,
  };
  Kind kind = Kind::status;
  bool withStatus = true;  // false: status is not the station's (an alarm from elsewhere)
  StationStatus status;
  long touchdown = 0;
  std::vector<int> sites;  // in the SOT's order
  std::vector<std::string> partIds;
  std::vector<int> bins;
  std::uint32_t alarm = 0;
  std::string alarmText;
};

// A lot command's outcome, as the station answers its operator.
struct CommandAnswer {
  bool ok = true;
  std::string message;
};

// What the equipment asks of the station. Each is called on the equipment's command thread.
struct StationActions {
  // The programs the host may select (released NAME@REVISION, or the projects' names on a station
  // without accounts).
  std::function<std::vector<std::string>()> programs;
  std::function<CommandAnswer(const LotRequest&)> startLot;
  std::function<CommandAnswer()> pauseLot, resumeLot, endLot;
  // Records what the host did in the audit trail.
  std::function<void(const std::string& what)> audit;
  // Something for the station's log (and the page).
  std::function<void(const std::string& line)> note;
  // The host's terminal text, to show the operator (S10F3).
  std::function<void(int terminal, const std::string& text)> showText;
  // The control state changed (for the page).
  std::function<void()> changed;
};

struct GemOptions {
  HsmsOptions link;
  Control initial = Control::ONLINE_LOCAL;
  std::filesystem::path
      stateFile;  // the host's reports, links, enabled events and alarms, constants
  std::string modelName = "ATE-STATION";
  std::string softwareRevision;
};

class GemEquipment {
 public:
  GemEquipment(GemOptions options, StationActions actions);
  ~GemEquipment();
  GemEquipment(const GemEquipment&) = delete;
  GemEquipment& operator=(const GemEquipment&) = delete;

  // Starts the link (passive: listening); false with error when it can't.
  bool start(std::string& error);
  int port() const;
  // Ends the link and the lot commands (waiting for one under way); events are still taken, and
  // dropped. Before the lot controller goes.
  void stop();

  // From the station, any thread.
  void stationEvent(StationEvent event);
  // The operator's switch on the page: online (local or remote) or offline.
  void operatorControl(bool online, bool remote);
  // The operator's answer to the host's terminal text (S10F1).
  void operatorAnswer(const std::string& text);

  // For the page: control state, communicating, the host's last terminal text.
  struct View {
    Control control = Control::EQUIPMENT_OFFLINE;
    bool selected = false;
    bool communicating = false;
    Process process = Process::IDLE;
    std::string ppid;
    std::string terminalText;
  };
  View view() const;

  // The defaults a lot started by the host gets for its yield guards (equipment constants).
  LotGuards defaultGuards() const;

 private:
  struct Report {
    std::vector<std::uint32_t> variables;
  };

  void post(std::function<void()> work);
  void loop();
  void commandLoop();
  void postCommand(std::function<void()> command);

  // On the equipment's thread.
  void onMessage(const hsms::Message& message);
  void onSelected(bool selected);
  void dispatch(const hsms::Message& message, const secs::Item* body);
  void reply(const hsms::Message& to, int function, const secs::Item& body);
  void replyAbort(const hsms::Message& to);
  void establish();
  void setControl(Control state);
  void setProcess(Process state);
  // Sends the event with its linked reports when the host is to hear it.
  void fire(std::uint32_t ceid, const StationEvent* event = nullptr, bool evenOffline = false);
  // Sends a report or an alarm (W), or keeps it until communications are established.
  void sendOrSpool(int stream, int function, std::string body);
  void established();
  void alarm(std::uint32_t alid, bool set, const std::string& text);
  secs::Item value(std::uint32_t vid, const StationEvent* event) const;
  double constant(std::uint32_t ecid) const;
  void applyStation(const StationEvent& event);
  // The answers to the host's primaries (GemMessages.cpp): the reply's body, or none for a
  // body of the wrong shape (S9F7).
  std::optional<secs::Item> answerS1F1(const secs::Item& body, int function);
  std::optional<secs::Item> answerS1F3(const secs::Item& body, int function);
  std::optional<secs::Item> answerS1F21(const secs::Item& body, int function);
  std::optional<secs::Item> answerS1F23(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F13(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F15(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F29(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F31(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F33(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F35(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F37(const secs::Item& body, int function);
  std::optional<secs::Item> answerS5F3(const secs::Item& body, int function);
  std::optional<secs::Item> answerS5F5(const secs::Item& body, int function);
  std::optional<secs::Item> answerS7F19(const secs::Item& body, int function);
  std::optional<secs::Item> answerS10F3(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F17(const secs::Item& body, int function);
  std::optional<secs::Item> answerS2F41(const secs::Item& body, int function);
  secs::Item remoteCommand(const secs::Item& body);
  void commandFailed(const std::string& command, const std::string& why);  // any thread
  // The host's reports, links, disabled events and alarms and the constants, in stateFile
  // (GemState.cpp); kept across restarts.
  void load();
  void save() const;

  const GemOptions options_;
  const StationActions actions_;
  std::unique_ptr<HsmsLink> link_;

  mutable std::mutex mutex_;  // guards the queue and view_
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  View view_;
  std::thread thread_;

  std::mutex commandMutex_;  // guards commands_ and commandStopping_
  std::condition_variable commandWake_;
  std::deque<std::function<void()>> commands_;
  bool commandStopping_ = false;
  std::thread commandThread_;

  // The equipment thread's own.
  Control control_ = Control::EQUIPMENT_OFFLINE;
  bool onlineRemote_ = false;  // the operator's switch: which online state online means
  bool communicating_ = false;
  bool waitingCra_ = false;
  std::chrono::steady_clock::time_point nextEstablish_{};
  Process process_ = Process::IDLE, previousProcess_ = Process::IDLE;
  std::string ppid_;
  StationStatus status_;
  std::map<std::uint32_t, Report> reports_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> links_;  // event -> reports
  std::set<std::uint32_t> disabledEvents_;
  std::set<std::uint32_t> disabledAlarms_;
  std::map<std::uint32_t, std::string> alarmsSet_;  // alid -> text
  std::map<std::uint32_t, double> constants_;
  std::uint32_t dataId_ = 1;
  // Events and alarms while not communicating (a restart, a host away), sent in order once
  // communications are established; the oldest go past MAX_SPOOLED.
  struct Spooled {
    int stream, function;
    std::string body;
  };
  static constexpr std::size_t MAX_SPOOLED = 1000;
  std::deque<Spooled> spool_;
  std::size_t spoolDropped_ = 0;
};

}  // namespace gem

#endif  // ATE_STATION_GEM_GEMEQUIPMENT_H_
