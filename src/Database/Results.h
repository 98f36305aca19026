#pragma once
// The outcome of one statement: whether it ran, how many rows it changed, and its result set,
// which it owns.

#include <errmsg.h>
#include <mysql.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ConnectionFailure.h"

namespace daotk::mysql {

namespace detail {

// Base-10 integer at the start of text, as std::stoi reads it but with messages of our own:
// leading white space and a sign allowed, parsing stops at the first non-digit.
inline int ParseLeadingInt(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t first_digit = pos;
  // One past the int range in magnitude, so that the most negative value still fits.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<int>::max()} + 1;
  std::int64_t magnitude = 0;
  bool overflow = false;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    magnitude = magnitude * 10 + (text[pos] - '0');
    if (magnitude > kLimit) {
      overflow = true;
      magnitude = kLimit + 1;  // keeps the product small while the digits run on
    }
  }
  if (pos == first_digit) throw std::invalid_argument("invalid stoi argument");
  if (overflow || (!negative && magnitude == kLimit)) {
    throw std::out_of_range("stoi argument out of range");
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

}  // namespace detail

class results {
 public:
  // A failed statement, with the client library's error number and text (0 and empty when no
  // statement reached the library, as on a closed connection).
  results() = default;
  results(unsigned int error_number, std::string error_text)
      : error_number_(error_number), error_text_(std::move(error_text)) {}
  // A statement that ran; result_set may be null (a statement without rows) and is owned from here.
  results(MYSQL* handle, MYSQL_RES* result_set, std::uint64_t affected_rows) noexcept
      : handle_(handle), result_set_(result_set), affected_rows_(affected_rows) {}

  results(const results&) = delete;
  results& operator=(const results&) = delete;
  results(results&& other) noexcept { *this = std::move(other); }
  results& operator=(results&& other) noexcept {
    if (this != &other) {
      free_result_set();
      handle_ = std::exchange(other.handle_, nullptr);
      result_set_ = std::exchange(other.result_set_, nullptr);
      row_ = std::exchange(other.row_, nullptr);
      row_lengths_ = std::exchange(other.row_lengths_, nullptr);
      fetched_ = std::exchange(other.fetched_, false);
      affected_rows_ = std::exchange(other.affected_rows_, 0);
      error_number_ = std::exchange(other.error_number_, 0);
      error_text_ = std::move(other.error_text_);
    }
    return *this;
  }
  virtual ~results() { free_result_set(); }

  bool succeeded() const { return handle_ != nullptr; }

  // Why a failed statement failed, as the client library said it (mysql_errno / mysql_error).
  unsigned int error_number() const { return error_number_; }
  const std::string& error_text() const { return error_text_; }

  // Whether the server refused the statement, its session going on (ConnectionFailure.h), rather
  // than the connection failing or the library not being called.
  bool refused_by_server() const { return !succeeded() && IsServerRefusal(error_number_); }

  // Rows the statement changed (for a SELECT: rows it returned); 0 for a failed statement.
  std::uint64_t affected_rows() const { return affected_rows_; }

  // Reads the first column of the first row. False, with value untouched, when there is no row or
  // the column is NULL; throws std::invalid_argument / std::out_of_range for a non-number.
  bool first_value(int& value) {
    const char* text = first_column();
    if (text == nullptr) return false;
    value = detail::ParseLeadingInt(std::string(text, row_lengths_[0]));
    return true;
  }
  bool first_value(bool& value) {
    int number = 0;
    if (!first_value(number)) return false;
    value = number != 0;
    return true;
  }

  // Every row of the result set, each column as text (NULL as empty); none without a result set.
  std::vector<std::vector<std::string>> text_rows() {
    std::vector<std::vector<std::string>> rows;
    if (result_set_ == nullptr) return rows;
    const unsigned int columns = mysql_num_fields(result_set_);
    mysql_data_seek(result_set_, 0);
    while (MYSQL_ROW row = mysql_fetch_row(result_set_)) {
      const unsigned long* lengths = mysql_fetch_lengths(result_set_);
      std::vector<std::string>& texts = rows.emplace_back();
      for (unsigned int column = 0; column < columns; ++column) {
        texts.push_back(row[column] != nullptr ? std::string(row[column], lengths[column])
                                               : std::string());
      }
    }
    // The cursor has moved: a later first_value fetches its row anew.
    fetched_ = false;
    row_ = nullptr;
    row_lengths_ = nullptr;
    return rows;
  }

 private:
  const char* first_column() {
    if (!fetched_ && result_set_ != nullptr) {
      fetched_ = true;
      mysql_data_seek(result_set_, 0);
      row_ = mysql_fetch_row(result_set_);
      row_lengths_ = row_ != nullptr ? mysql_fetch_lengths(result_set_) : nullptr;
    }
    if (row_ == nullptr || row_lengths_ == nullptr || mysql_num_fields(result_set_) == 0) {
      return nullptr;
    }
    return row_[0];
  }

  void free_result_set() noexcept {
    if (result_set_ != nullptr) mysql_free_result(result_set_);
    result_set_ = nullptr;
    row_ = nullptr;
    row_lengths_ = nullptr;
  }

  // The handle that ran the statement: only its presence is used, as the mark of success; the
  // result may outlive the connection.
  MYSQL* handle_ = nullptr;
  MYSQL_RES* result_set_ = nullptr;
  MYSQL_ROW row_ = nullptr;
  unsigned long* row_lengths_ = nullptr;
  bool fetched_ = false;
  std::uint64_t affected_rows_ = 0;
  unsigned int error_number_ = 0;
  std::string error_text_;
};

}  // namespace daotk::mysql
