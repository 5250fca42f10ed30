// The benchmark's sections. Each prints its figures on standard output and fails (throws Error) only
// when it cannot run at all; no figure is ever judged here.
//
// In-process sections time the engine's parts directly. Comparison sections run the gateway as a child
// process on the loopback Firebird server (bench/Harness.h) and time it side by side with a client
// that does the same work directly through the Firebird client library, in alternating rounds
// (gateway, direct, gateway, ...), so that the load of a shared machine falls on both alike. Figures
// that need several clients at once (a second connection's latency while a long query runs, scripts
// from many connections) open one WireConnection per client thread to the same ChildServer.
#pragma once

#include <string>
#include <vector>

class QString;

namespace vespril::bench {

struct Options {
  std::vector<long> rows{10000, 100000, 1000000};  // query sizes, rows in all over the servers
  std::vector<int> servers{2, 10};                 // server counts for the query
  int insertServers = 2;
  bool forcedWrites = true;  // of the INSERTs' databases: every commit waits for the disk
  int inserts = 30;          // one-row INSERTs per form and round
  int rounds = 20;           // alternating rounds of INSERTs: short ones, as the disk's pace drifts
  int queryRounds = 5;       // alternating rounds per query size (more below 10^5 rows)
  int samples = 10000;       // "Baixar" round trips to each server
  std::vector<int> remoteServers{4, 10};  // server counts for the query over distant servers
  long remoteRows = 25000;                // rows of each of them
  long delayMicros = 2000;                // their link's delay, each way
};

// In process.
void BenchFrames();
void BenchResultFile(const QString& dir);
void BenchTables(const QString& dir);
void BenchEngine(const QString& dir);
// Clients side by side through the listener of an engine in this process, on the loopback server.
void BenchClients(const QString& dir);

// Against the loopback Firebird server.
void BenchInserts(const Options& options);
void BenchWriters(const Options& options);
void BenchQuery(const Options& options);
// A query over servers behind a link that delays every byte, against the same servers without it.
void BenchRemote(const Options& options);
void BenchBaixar(const Options& options);
// The request log and the metrics on against off: "Baixar" round trips and INSERTs.
void BenchLogMetrics(const Options& options);

}  // namespace vespril::bench
