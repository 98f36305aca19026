#include "SeededTable.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <unordered_set>

namespace veltrane::bench {

namespace {

// Changing how rows are seeded changes this, so that kept tables are seeded anew.
constexpr char kLayout[] = "layout-1";

// The store's own table statement, so that the benchmarks meet the table the plugin creates.
constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id "
    "varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',discord_id varchar(50) COLLATE "
    "utf8mb4_general_ci NOT NULL DEFAULT '0',player_id int(11) NOT NULL DEFAULT 0,character_name "
    "varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT 'None',tribe_id int(11) NOT NULL "
    "DEFAULT 0,tribe_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT "
    "'None',code varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',PRIMARY KEY(id))";

std::string DatabaseName(int rows) { return fmt::format("veltrane_bench_{}", rows); }

}  // namespace

SeededTable::SeededTable(const ServerAddress& server, int rows)
    : rows_(rows), database_(DatabaseName(rows)) {
  if (rows < 10) throw std::invalid_argument("a seeded table has at least 10 rows");
  RawConnection(server, "")
      .Run(fmt::format(
          "CREATE DATABASE IF NOT EXISTS {} CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci",
          database_));
  admin_ = std::make_unique<RawConnection>(server, database_);
  if (!IsSeeded()) {
    const auto start = std::chrono::steady_clock::now();
    Seed();
    seeding_seconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  LoadIntoBufferPool();
}

bool SeededTable::IsSeeded() {
  try {
    if (admin_->Text("SELECT CONCAT(seeded_rows, ' ', layout) FROM bench_seed") !=
        fmt::format("{} {}", rows_, kLayout)) {
      return false;
    }
    RemoveAddedRows();
    return admin_->Run("SELECT COUNT(*) FROM player_discord") == std::uint64_t(rows_);
  } catch (const std::runtime_error&) {
    return false;  // no such table yet
  }
}

void SeededTable::Seed() {
  RawConnection& admin = *admin_;
  admin.Run("DROP TABLE IF EXISTS bench_seed");
  admin.Run("DROP TABLE IF EXISTS player_discord");
  admin.Run(kCreateTable);
  // One statement over the server's sequence table; the indexes are built afterwards, sorted,
  // which is much faster than maintaining them row by row.
  admin.Run(fmt::format(
      "INSERT INTO player_discord "
      "(id, eos_id, discord_id, player_id, character_name, tribe_id, tribe_name, code) "
      "SELECT seq, IF(seq % 10 = 0, '0', MD5(CONCAT('eos-', seq))), "
      "CAST(300000000000000000 + seq AS CHAR), IF(seq % 10 = 0, 0, seq), "
      "IF(seq % 10 = 0, 'None', CONCAT('Survivor ', seq)), IF(seq % 10 = 0, 0, seq % 9973), "
      "IF(seq % 10 = 0, 'None', CONCAT('Tribe of ', seq % 9973)), "
      "IF(seq % 10 = 0, UPPER(LEFT(MD5(CONCAT('code-', seq)), 10)), "
      "IF(seq % 3 = 0, 'Updated', 'Linked')) "
      "FROM seq_1_to_{}",
      rows_));
  // The names the store gives them, so its check at load finds them.
  admin.Run("CREATE INDEX player_discord_eos_id ON player_discord (eos_id)");
  admin.Run("CREATE INDEX player_discord_code ON player_discord (code)");
  admin.Run("ANALYZE TABLE player_discord");
  admin.Run("CREATE TABLE bench_seed (seeded_rows int NOT NULL, layout varchar(50) NOT NULL)");
  admin.Run(fmt::format("INSERT INTO bench_seed VALUES ({}, '{}')", rows_, kLayout));
}

// A server that was just started has none of the table in memory; the first repetitions would
// measure reading it. Scanning the table and both indexes once brings in as much as fits.
void SeededTable::LoadIntoBufferPool() {
  for (const char* index : {"PRIMARY", "player_discord_eos_id", "player_discord_code"})
    admin_->Run(fmt::format("SELECT COUNT(*) FROM player_discord FORCE INDEX ({})", index));
}

void SeededTable::RemoveAddedRows() {
  admin_->Run(fmt::format("DELETE FROM player_discord WHERE id > {}", rows_));
}

std::vector<LinkedRow> SeededTable::SampleLinkedRows(int count, std::mt19937_64& random) {
  const int linked_rows = rows_ - rows_ / 10;
  if (count > linked_rows) throw std::invalid_argument("more linked rows asked for than seeded");
  std::uniform_int_distribution<int> pick(1, rows_);
  std::unordered_set<int> ids;
  std::string id_list;
  while (int(ids.size()) < count) {
    const int id = pick(random);
    if (id % 10 == 0 || !ids.insert(id).second) continue;
    if (!id_list.empty()) id_list += ',';
    id_list += std::to_string(id);
  }
  std::vector<LinkedRow> sample;
  for (const std::vector<std::string>& row : admin_->Rows(fmt::format(
           "SELECT id, eos_id, player_id FROM player_discord WHERE id IN ({})", id_list))) {
    sample.push_back({std::stoi(row[0]), row[1], std::stoi(row[2])});
  }
  if (int(sample.size()) != count) throw std::runtime_error("seeded rows are missing");
  std::shuffle(sample.begin(), sample.end(), random);
  return sample;
}

}  // namespace veltrane::bench
