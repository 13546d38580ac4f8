// A batch run's state: the batches sent to the model service, the requests
// (lines) in them and the sheets' readings kept between passes. The
// batches, batch_lines and batch_readings tables.
#include "results_store.hpp"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "results_store_internal.hpp"

namespace quorvan::core {

namespace {

constexpr const char* kSelectBatch =
    "SELECT batch_id, stage, input_file_id, status, output_file_id, error_file_id, total, completed, failed, "
    "collected, submitted_at, updated_at FROM batches ";

BatchRecord read_batch(const detail::Statement& s) {
    BatchRecord b;
    b.batch_id = s.text(0);
    b.stage = s.text(1);
    b.input_file_id = s.text(2);
    b.status = s.text(3);
    b.output_file_id = s.text(4);
    b.error_file_id = s.text(5);
    b.total = s.integer(6);
    b.completed = s.integer(7);
    b.failed = s.integer(8);
    b.collected = s.integer(9) != 0;
    b.submitted_at = s.text(10);
    b.updated_at = s.text(11);
    return b;
}

constexpr const char* kSelectLine =
    "SELECT custom_id, stage, body, state, batch_id, response, error, tries FROM batch_lines ";

BatchLine read_line(const detail::Statement& s) {
    BatchLine l;
    l.custom_id = s.text(0);
    l.stage = s.text(1);
    l.body = s.text(2);
    l.state = s.text(3);
    l.batch_id = s.text(4);
    l.response = s.text(5);
    l.error = s.text(6);
    l.tries = static_cast<int>(s.integer(7));
    return l;
}

}  // namespace

void ResultsStore::record_batch(const BatchRecord& batch, const std::vector<BatchLine>& lines) {
    const std::string doing = "record the batch " + batch.batch_id;
    detail::Transaction tx(db_, path_, doing);
    const std::string now = detail::utc_now();
    detail::Statement b(db_, path_,
                        "INSERT INTO batches (batch_id, seq, stage, input_file_id, status, total, submitted_at, "
                        "updated_at) VALUES (?1, (SELECT coalesce(max(seq), 0) + 1 FROM batches), "
                        "?2, ?3, ?4, ?5, ?6, ?6)",
                        doing);
    b.bind_text(1, batch.batch_id).bind_text(2, batch.stage).bind_text(3, batch.input_file_id);
    b.bind_text(4, batch.status).bind_int(5, static_cast<std::int64_t>(lines.size())).bind_text(6, now).run();
    detail::Statement l(db_, path_,
                        "INSERT INTO batch_lines (custom_id, stage, body, state, batch_id, tries) "
                        "VALUES (?1, ?2, ?3, 'submitted', ?4, 1) "
                        "ON CONFLICT (custom_id) DO UPDATE SET state = 'submitted', batch_id = excluded.batch_id, "
                        "response = '', tries = tries + 1",
                        doing);
    for (const auto& line : lines) {
        l.reset();
        l.bind_text(1, line.custom_id).bind_text(2, line.stage).bind_text(3, line.body).bind_text(4, batch.batch_id);
        l.run();
    }
    tx.commit();
}

void ResultsStore::update_batch(const BatchRecord& batch) {
    detail::Statement s(db_, path_,
                        "UPDATE batches SET status = ?2, output_file_id = ?3, error_file_id = ?4, total = ?5, "
                        "completed = ?6, failed = ?7, updated_at = ?8 WHERE batch_id = ?1",
                        "record the progress of the batch " + batch.batch_id);
    s.bind_text(1, batch.batch_id).bind_text(2, batch.status).bind_text(3, batch.output_file_id);
    s.bind_text(4, batch.error_file_id).bind_int(5, batch.total).bind_int(6, batch.completed);
    s.bind_int(7, batch.failed).bind_text(8, detail::utc_now()).run();
}

void ResultsStore::store_batch_results(const std::string& batch_id, const std::vector<BatchResult>& results,
                                       const std::string& missing_cause) {
    const std::string doing = "store the results of the batch " + batch_id;
    detail::Transaction tx(db_, path_, doing);
    // Only lines still waiting for this batch: a result for a line sent
    // again elsewhere since is stale.
    detail::Statement s(db_, path_,
                        "UPDATE batch_lines SET state = ?3, response = ?4, error = ?5 "
                        "WHERE custom_id = ?1 AND batch_id = ?2 AND state = 'submitted'",
                        doing);
    for (const auto& r : results) {
        s.reset();
        s.bind_text(1, r.custom_id).bind_text(2, batch_id).bind_text(3, r.ok ? "done" : "failed");
        s.bind_text(4, r.ok ? r.response : "").bind_text(5, r.ok ? "" : r.error).run();
    }
    detail::Statement missing(db_, path_,
                              "UPDATE batch_lines SET state = 'failed', error = ?2 WHERE batch_id = ?1 "
                              "AND state = 'submitted'",
                              doing);
    missing.bind_text(1, batch_id).bind_text(2, missing_cause).run();
    detail::Statement done(db_, path_, "UPDATE batches SET collected = 1, updated_at = ?2 WHERE batch_id = ?1", doing);
    done.bind_text(1, batch_id).bind_text(2, detail::utc_now()).run();
    tx.commit();
}

void ResultsStore::rename_batch(const std::string& from, const std::string& to) {
    const std::string doing = "name the batch " + to;
    detail::Transaction tx(db_, path_, doing);
    detail::Statement b(db_, path_, "UPDATE batches SET batch_id = ?2, updated_at = ?3 WHERE batch_id = ?1", doing);
    b.bind_text(1, from).bind_text(2, to).bind_text(3, detail::utc_now()).run();
    detail::Statement l(db_, path_, "UPDATE batch_lines SET batch_id = ?2 WHERE batch_id = ?1", doing);
    l.bind_text(1, from).bind_text(2, to).run();
    tx.commit();
}

void ResultsStore::fail_batch_line(const std::string& custom_id, const std::string& error) {
    detail::Statement s(db_, path_, "UPDATE batch_lines SET state = 'failed', error = ?2 WHERE custom_id = ?1",
                        "record a failed batch request");
    s.bind_text(1, custom_id).bind_text(2, error).run();
}

void ResultsStore::retry_batch_lines(int tries) {
    detail::Statement s(db_, path_, "UPDATE batch_lines SET tries = 0 WHERE state = 'failed' AND tries >= ?1",
                        "reset the failed batch requests");
    s.bind_int(1, tries).run();
}

void ResultsStore::clear_batch_lines() {
    detail::exec(db_, path_, "DELETE FROM batch_lines; DELETE FROM batch_readings", "clear the batch requests");
}

void ResultsStore::keep_reading(const std::string& key, const KeptReading& kept) {
    detail::Statement s(db_, path_, "INSERT OR REPLACE INTO batch_readings (key, reading, usage) VALUES (?1, ?2, ?3)",
                        "keep a sheet's reading");
    s.bind_text(1, key).bind_text(2, kept.reading).bind_text(3, kept.usage).run();
}

std::optional<KeptReading> ResultsStore::kept_reading(const std::string& key) const {
    detail::Statement s(db_, path_, "SELECT reading, usage FROM batch_readings WHERE key = ?1", "read a kept reading");
    s.bind_text(1, key);
    if (!s.step()) return std::nullopt;
    return KeptReading{s.text(0), s.text(1)};
}

std::optional<BatchLine> ResultsStore::batch_line(const std::string& custom_id) const {
    detail::Statement s(db_, path_, std::string(kSelectLine) + "WHERE custom_id = ?1", "read a batch request");
    s.bind_text(1, custom_id);
    if (!s.step()) return std::nullopt;
    return read_line(s);
}

std::vector<BatchLine> ResultsStore::batch_lines() const {
    detail::Statement s(db_, path_, std::string(kSelectLine) + "ORDER BY rowid", "read the batch requests");
    std::vector<BatchLine> out;
    while (s.step()) out.push_back(read_line(s));
    return out;
}

std::optional<BatchRecord> ResultsStore::open_batch() const {
    detail::Statement s(db_, path_, std::string(kSelectBatch) + "WHERE collected = 0 ORDER BY seq LIMIT 1",
                        "read the open batch");
    if (!s.step()) return std::nullopt;
    return read_batch(s);
}

std::vector<BatchRecord> ResultsStore::batches() const {
    detail::Statement s(db_, path_, std::string(kSelectBatch) + "ORDER BY seq", "read the batches");
    std::vector<BatchRecord> out;
    while (s.step()) out.push_back(read_batch(s));
    return out;
}

}  // namespace quorvan::core
