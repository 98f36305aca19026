#pragma once
// A player_discord table of a fixed size in a database of its own, seeded in bulk and kept on the
// server between runs: a rerun finds it and only removes what an interrupted run left behind.
//
// Seeded rows have ids 1..N. Every tenth row waits for its link (a code, EOS id '0'); the others
// are linked (an EOS id, a player id, "Linked" or "Updated"). Benchmarks add rows above N and
// remove them again, so the size holds at every measurement.

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RawConnection.h"

namespace veltrane::bench {

// A seeded row that is linked to a player.
struct LinkedRow {
  int id = 0;
  std::string eos_id;
  int player_id = 0;
};

class SeededTable {
 public:
  SeededTable(const ServerAddress& server, int rows);

  int Rows() const { return rows_; }
  const std::string& Database() const { return database_; }
  // Seconds spent seeding; 0 when the table was kept from an earlier run.
  double SeedingSeconds() const { return seeding_seconds_; }

  // For arranging and inspecting rows outside the timed regions.
  RawConnection& Admin() { return *admin_; }
  // Removes every row above the seeded ones.
  void RemoveAddedRows();
  // Distinct linked rows, drawn at random.
  std::vector<LinkedRow> SampleLinkedRows(int count, std::mt19937_64& random);

 private:
  bool IsSeeded();
  void Seed();
  void LoadIntoBufferPool();

  const int rows_;
  const std::string database_;
  std::unique_ptr<RawConnection> admin_;
  double seeding_seconds_ = 0;
};

}  // namespace veltrane::bench
