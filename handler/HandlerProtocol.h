// The line protocol between the station and a handler or prober (docs/handler.md): the handler
// listens, the station connects. Lines are ASCII, end with a line feed (a carriage return before
// it is dropped) and hold at most MAX_LINE bytes. Shared by the station and ate-handler-sim.
//
//   handler -> station   SOT S1 S2 ...      start of test on the sites that hold a part
//                        SOT 1=12,-3 ...    the same on a wafer, with each die's X,Y
//                        EOL                end of lot
//                        ALARM TEXT         the handler stopped; READY clears it
//                        READY
//                        WAFER ID           a wafer's first touchdown follows
//                        EOW                the wafer's last touchdown is done
//   station -> handler   HELLO ate-station VERSION    on connect
//                        BIN S1=B1 S2=B2 ...          after each SOT, in the SOT's order
//                        PAUSE / RESUME
//                        ERROR TEXT                   a line the station refused
#ifndef ATE_HANDLER_HANDLERPROTOCOL_H_
#define ATE_HANDLER_HANDLERPROTOCOL_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace handler {

inline constexpr std::size_t MAX_LINE = 4096;

// A die's position on the wafer, in the prober's steps.
struct DieXY {
  int x = 0;
  int y = 0;
  bool operator==(const DieXY& other) const { return x == other.x && y == other.y; }
};

struct SiteEntry {
  int site = 0;              // from 1
  std::optional<DieXY> die;  // on a wafer
};

// A line from the handler.
struct HandlerMessage {
  enum class Kind { sot, eol, alarm, ready, wafer, eow };
  Kind kind = Kind::sot;
  std::vector<SiteEntry> sites;  // sot, in the line's order
  std::string text;              // alarm: the handler's words; wafer: its id
};

// Reads one handler line (without its line end). Sites must lie in 1..siteCount, each once, and a
// SOT names at least one; either every site of a SOT carries its die or none does. On a refusal,
// error says why, for the ERROR line sent back.
bool parseHandlerLine(std::string_view line, int siteCount, HandlerMessage& message,
                      std::string& error);

// A line from the station, as the handler reads it.
struct StationMessage {
  enum class Kind { hello, bin, pause, resume, error };
  Kind kind = Kind::hello;
  std::vector<std::pair<int, int>> bins;  // bin: site and bin, in the line's order
  std::string text;                       // hello: the version; error: the station's words
};
bool parseStationLine(std::string_view line, StationMessage& message, std::string& error);

// The station's lines, without their line feed.
std::string helloLine(const std::string& version);
std::string binLine(const std::vector<std::pair<int, int>>& siteBins);
std::string errorLine(const std::string& text);
inline const std::string PAUSE_LINE = "PAUSE";
inline const std::string RESUME_LINE = "RESUME";

// The handler's lines, without their line feed.
std::string sotLine(const std::vector<SiteEntry>& sites);

// Splits what a connection brings into lines: a carriage return before the line feed is dropped,
// and a line longer than MAX_LINE is reported once as overlong and skipped to its end.
class LineSplitter {
 public:
  struct Line {
    std::string text;
    bool overlong = false;  // text then holds the line's first bytes only
  };
  // Adds bytes; every line completed by them is appended to lines.
  void add(std::string_view bytes, std::vector<Line>& lines);
  void clear();

 private:
  std::string partial_;
  bool overlong_ = false;
};

}  // namespace handler

#endif  // ATE_HANDLER_HANDLERPROTOCOL_H_
