// Named moments in the station's work where the crash tests end the station as a crash would,
// to prove that nothing a crash there leaves behind is lost. Off unless the station's environment
// says ATE_STATION_CRASH_AT=NAME:N: the N-th time the station passes the moment NAME (from 1),
// it ends at once (station_platform::crashNow). docs/handler.md lists the moments.
#ifndef ATE_STATION_CRASHPOINTS_H_
#define ATE_STATION_CRASHPOINTS_H_

// Thread-safe.
void crashPoint(const char* name);

#endif  // ATE_STATION_CRASHPOINTS_H_
