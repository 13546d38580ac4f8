// The results store: what it writes is what a reopened store (or a person
// with the sqlite3 shell) reads back, and a write that fails leaves nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pdf_maker.hpp"
#include "results_store.hpp"

using namespace quorvan::core;
using namespace quorvan_test;
namespace fs = std::filesystem;

namespace {

// A connection of its own, as a person with the sqlite3 shell would have.
class RawDb {
public:
    explicit RawDb(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~RawDb() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
    }
    // Every row as "a|b|c\n", NULL shown as "NULL".
    std::string rows(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return sqlite3_errmsg(db_);
        std::string out;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto* text = sqlite3_column_text(stmt, c);
                out += (c ? "|" : "") + (text ? std::string(reinterpret_cast<const char*>(text)) : "NULL");
            }
            out += "\n";
        }
        sqlite3_finalize(stmt);
        return out;
    }
    std::string value(const std::string& sql) {
        std::string r = rows(sql);
        if (!r.empty() && r.back() == '\n') r.pop_back();
        return r;
    }

private:
    sqlite3* db_ = nullptr;
};

CallUsage usage(const std::string& model, std::int64_t in, std::int64_t out, double cost, int calls) {
    return CallUsage{model, in, out, cost, calls};
}

// Seconds between a stored timestamp and now; huge when it is malformed.
double age(const std::string& stamp) {
    std::tm tm{};
    char z = 0;
    if (stamp.size() != 20 || std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon,
                                          &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &z) != 7 || z != 'Z') {
        return 1e9;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::fabs(std::difftime(std::time(nullptr), timegm(&tm)));
}

// Records on one line, to compare whole.
std::string show(const std::vector<int>& values) {
    std::ostringstream out;
    out << "[";
    for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
    return out.str() + "]";
}
std::string show(const CallUsage& u) {
    std::ostringstream out;
    out << "(" << u.model << " " << u.input_tokens << "/" << u.output_tokens << " $" << u.cost << " x" << u.calls
        << ")";
    return out.str();
}
std::string show(const SheetRecord& s) {
    std::ostringstream out;
    out << s.id << " " << s.path_given << " " << s.path_resolved << " " << s.report_name << " " << s.sha256 << " "
        << s.paper_fingerprint << " " << s.status << " '" << s.failure << "' " << (s.parsed ? "parsed " : "not-parsed ")
        << s.parse_key << " " << show(s.parse_usage);
    return out.str();
}
std::string show(const AnswerRecord& a) {
    std::ostringstream out;
    const auto mark = [](std::optional<double> v) { return v ? (std::ostringstream() << *v).str() : "-"; };
    out << a.position << " " << a.q_id << " '" << a.text << "' " << show(a.pages) << " " << a.status << " "
        << a.question_fingerprint << " " << show(a.criteria_met) << " " << mark(a.awarded) << "/" << mark(a.maximum)
        << " '" << a.feedback << "' '" << a.failure << "' " << show(a.usage);
    return out.str();
}

class ResultsStoreTest : public TempDirTest {
protected:
    std::string db() const { return (dir_ / "results.db").string(); }
    // The whole content of the sheets and answers, to see that nothing changed.
    std::string snapshot() {
        RawDb raw(db());
        return raw.rows("SELECT * FROM sheets ORDER BY id") + raw.rows("SELECT * FROM answers ORDER BY sheet_id, q_id");
    }
    std::string open_error(const std::string& path) {
        try {
            ResultsStore store(path);
        } catch (const StoreError& e) {
            return e.what();
        }
        return "";
    }
    // A sheet with three parsed answers.
    std::int64_t parsed_sheet(ResultsStore& store, const std::string& name = "ada") {
        const auto sheet = store.add_sheet(name + ".pdf", "/class/" + name + ".pdf", name);
        store.store_parse(sheet.id, "sha-1", "q1,q2,q3",
                          {{"q1", "Paris", {1}}, {"q2", "4", {1, 2}}, {"q3", "", {}}},
                          usage("parse-model", 900, 120, 0.0021, 2));
        return sheet.id;
    }
};

}  // namespace

TEST_F(ResultsStoreTest, NewDatabaseIsOursInWalMode) {
    { ResultsStore store(db()); }
    { ResultsStore again(db()); }  // opening an existing one changes nothing
    RawDb raw(db());
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.value("PRAGMA user_version"), "3");
    EXPECT_EQ(raw.value("SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type IN "
                        "('table', 'view') ORDER BY name)"),
              "answers,batch_lines,batch_readings,batches,class_view,events,meta,page_reading,papers,sheets,"
              "sqlite_sequence,"
              "written_files");
    EXPECT_EQ(raw.rows("SELECT key, value FROM meta WHERE key <> 'created_at' ORDER BY key"),
              "application|quorvan_core\nschema_version|3\n");
    EXPECT_LT(age(raw.value("SELECT value FROM meta WHERE key = 'created_at'")), 60);
}

TEST_F(ResultsStoreTest, AnEmptyFileBecomesAStore) {
    write("results.db", "");
    ResultsStore store(db());
    EXPECT_EQ(store.add_sheet("a.pdf", "/a.pdf", "a").report_name, "a");
}

TEST_F(ResultsStoreTest, RefusesFilesThatAreNotOursAndLeavesThemAlone) {
    const std::string csv = write("marks.csv", "name,mark\nAda,5\n");
    EXPECT_EQ(open_error(csv), csv + " is not a quorvan_core results database (it is not an SQLite database)");
    std::ifstream in(csv);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "name,mark\nAda,5\n");
    EXPECT_FALSE(fs::exists(csv + "-wal"));

    const std::string foreign = (dir_ / "grades.db").string();
    RawDb(foreign).exec("CREATE TABLE grades (name TEXT, mark REAL); INSERT INTO grades VALUES ('Ada', 5)");
    const std::string not_ours =
        " is not a quorvan_core results database (it is an SQLite database of another application)";
    EXPECT_EQ(open_error(foreign), foreign + not_ours);
    RawDb raw(foreign);
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "delete");
    EXPECT_EQ(raw.value("SELECT group_concat(name) FROM sqlite_master"), "grades");

    const std::string other_meta = (dir_ / "other.db").string();
    RawDb(other_meta).exec("CREATE TABLE meta (key TEXT, value TEXT); INSERT INTO meta VALUES ('application', 'x');"
                           "PRAGMA user_version = 1");
    EXPECT_EQ(open_error(other_meta), other_meta + not_ours);

    // Other applications use user_version too: no tables is not a newer schema.
    const std::string versioned = (dir_ / "versioned.db").string();
    RawDb(versioned).exec("PRAGMA user_version = 7");
    EXPECT_EQ(open_error(versioned), versioned + not_ours);

    const std::string nowhere = (dir_ / "missing" / "results.db").string();
    EXPECT_EQ(open_error(nowhere), "cannot open the results database " + nowhere + ": unable to open database file");
}

TEST_F(ResultsStoreTest, RefusesANewerSchema) {
    { ResultsStore store(db()); }
    RawDb(db()).exec("PRAGMA user_version = 4");
    EXPECT_EQ(open_error(db()),
              db() + " was written by a newer version of quorvan_core (results schema 4; this version reads 3)");
    EXPECT_EQ(RawDb(db()).value("PRAGMA user_version"), "4");
}

TEST_F(ResultsStoreTest, EverythingReadsBackAfterReopening) {
    {
        ResultsStore store(db());
        store.remember_paper("fp-paper", R"({"questions": []})");
        store.remember_paper("fp-paper", "kept once");
        const std::int64_t ada = parsed_sheet(store);
        store.store_mark(ada, "q1", "fp-q1", {0, 2}, 1.5, 2, "Right city.", usage("mark-model", 300, 80, 0.0004, 1));
        store.store_mark_failure(ada, "q2", "fp-q2", "no answer came", usage("mark-model", 310, 0, 0.0002, 3));
        store.set_status(ada, "incomplete", "", "fp-paper");
        const std::int64_t bob = store.add_sheet("bob.pdf", "/class/bob.pdf", "bob").id;
        store.set_status(bob, "failed", "not a PDF file", "fp-paper");
    }
    ResultsStore store(db());
    EXPECT_EQ(store.paper_json("fp-paper"), R"({"questions": []})");
    EXPECT_EQ(store.paper_json("fp-other"), std::nullopt);
    const auto sheets = store.sheets();
    ASSERT_EQ(sheets.size(), 2u);
    EXPECT_EQ(show(sheets[0]), "1 ada.pdf /class/ada.pdf ada sha-1 fp-paper incomplete '' parsed q1,q2,q3 "
                               "(parse-model 900/120 $0.0021 x2)");
    EXPECT_EQ(show(sheets[1]),
              "2 bob.pdf /class/bob.pdf bob  fp-paper failed 'not a PDF file' not-parsed  ( 0/0 $0 x0)");
    EXPECT_LT(age(sheets[0].updated_at), 60);
    const auto answers = store.answers(1);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(show(answers[0]),
              "0 q1 'Paris' [1] marked fp-q1 [0, 2] 1.5/2 'Right city.' '' (mark-model 300/80 $0.0004 x1)");
    EXPECT_EQ(show(answers[1]),
              "1 q2 '4' [1, 2] failed fp-q2 [] -/- '' 'no answer came' (mark-model 310/0 $0.0002 x3)");
    EXPECT_EQ(show(answers[2]), "2 q3 '' [] pending  [] -/- '' '' ( 0/0 $0 x0)");
    EXPECT_LT(age(answers[0].marked_at), 60);
    EXPECT_EQ(answers[1].marked_at, "");
    EXPECT_TRUE(store.answers(2).empty());
}

TEST_F(ResultsStoreTest, SheetsAreFoundByTheirResolvedPath) {
    ResultsStore store(db());
    const auto first = store.add_sheet("ada.pdf", "/class/ada.pdf", "ada");
    const auto again = store.add_sheet("../class/ada.pdf", "/class/ada.pdf", "something-else");
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(again.path_given, "../class/ada.pdf");
    EXPECT_EQ(again.report_name, "ada");
    EXPECT_EQ(store.sheets().size(), 1u);
    EXPECT_EQ(store.find_sheet("/class/ada.pdf")->path_given, "../class/ada.pdf");
    EXPECT_EQ(store.find_sheet("/class/bob.pdf"), std::nullopt);
    EXPECT_EQ(store.sheet(first.id + 1), std::nullopt);
    EXPECT_THROW(store.add_sheet("x.pdf", "/x.pdf", ""), std::invalid_argument);
}

TEST_F(ResultsStoreTest, ReportNamesTakenGetANumber) {
    {
        ResultsStore store(db());
        EXPECT_EQ(store.add_sheet("a/x.pdf", "/a/x.pdf", "x").report_name, "x");
        EXPECT_EQ(store.add_sheet("b/x.pdf", "/b/x.pdf", "x").report_name, "x-2");
        // One file on case-insensitive file systems.
        EXPECT_EQ(store.add_sheet("c/X.pdf", "/c/X.pdf", "X").report_name, "X-3");
        EXPECT_EQ(store.add_sheet("y-2.pdf", "/y-2.pdf", "y-2").report_name, "y-2");
        EXPECT_EQ(store.add_sheet("a/y.pdf", "/a/y.pdf", "y").report_name, "y");
        EXPECT_EQ(store.add_sheet("b/y.pdf", "/b/y.pdf", "y").report_name, "y-3");
    }
    ResultsStore store(db());
    EXPECT_EQ(store.add_sheet("d/x.pdf", "/d/x.pdf", "x").report_name, "x-4");
    EXPECT_EQ(store.add_sheet("b/x.pdf", "/b/x.pdf", "x").report_name, "x-2");
}

TEST_F(ResultsStoreTest, ANewParseReplacesTheOldAnswers) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q3", "fp-q3", {0}, 1, 1, "ok", {});
    store.store_parse(id, "sha-2", "q3,q4", {{"q3", "new three", {2}}, {"q4", "four", {3}}},
                      usage("parse-model-2", 50, 5, 0.001, 1));
    const auto answers = store.answers(id);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(show(answers[0]), "0 q3 'new three' [2] pending  [] -/- '' '' ( 0/0 $0 x0)");
    EXPECT_EQ(show(answers[1]), "1 q4 'four' [3] pending  [] -/- '' '' ( 0/0 $0 x0)");
    EXPECT_EQ(show(*store.sheet(id)), "1 ada.pdf /class/ada.pdf ada sha-2  pending '' parsed q3,q4 "
                                      "(parse-model-2 50/5 $0.001 x1)");
}

TEST_F(ResultsStoreTest, ResetForgetsAnswersParseAndStatus) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q1", "fp-q1", {0}, 1, 1, "ok", {});
    store.set_status(id, "failed", "broken", "fp-paper");
    store.reset_sheet(id, "sha-new");
    EXPECT_TRUE(store.answers(id).empty());
    EXPECT_EQ(show(*store.sheet(id)), "1 ada.pdf /class/ada.pdf ada sha-new  pending '' not-parsed  ( 0/0 $0 x0)");
    EXPECT_EQ(RawDb(db()).value("SELECT count(*) FROM answers"), "0");
}

TEST_F(ResultsStoreTest, HowPagesWereReadFollowsTheLatestParse) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    EXPECT_TRUE(store.page_reading(id).empty());
    const std::vector<PageReading> first = {
        {2, "ocr", 31, 46.148271231815734, 0.6896551724137931, false, "read by OCR; not read again"},
        {1, "text", 12, std::nullopt, std::nullopt, true, ""},
    };
    store.store_parse(id, "sha-2", "q1", {{"q1", "one", {1}}}, {}, {}, first);
    EXPECT_EQ(store.page_reading(id), (std::vector<PageReading>{first[1], first[0]}));  // in page order
    // A parse without a record, as a library that does not know the table
    // writes it, leaves none of the read before behind; so does a reset.
    store.store_parse(id, "sha-3", "q1", {{"q1", "one", {1}}}, {});
    EXPECT_TRUE(store.page_reading(id).empty());
    store.store_parse(id, "sha-3", "q1", {{"q1", "one", {1}}}, {}, {}, first);
    RawDb(db()).exec("UPDATE sheets SET parse_key = 'q1' WHERE id = " + std::to_string(id));
    EXPECT_TRUE(store.page_reading(id).empty());
    store.store_parse(id, "sha-3", "q1", {{"q1", "one", {1}}}, {}, {}, first);
    store.reset_sheet(id, "sha-new");
    EXPECT_TRUE(store.page_reading(id).empty());
}

TEST_F(ResultsStoreTest, AMarkAfterAFailureClearsTheCause) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q1", "fp-q1", {1}, 2, 2, "good", {});
    store.store_mark_failure(id, "q1", "fp-q1b", "timed out", usage("m", 1, 0, 0, 4));
    EXPECT_EQ(show(store.answers(id)[0]), "0 q1 'Paris' [1] failed fp-q1b [] -/- '' 'timed out' (m 1/0 $0 x4)");
    store.store_mark(id, "q1", "fp-q1b", {0, 1}, 0.5, 2, "partly", usage("m", 2, 3, 0.1, 1));
    EXPECT_EQ(show(store.answers(id)[0]), "0 q1 'Paris' [1] marked fp-q1b [0, 1] 0.5/2 'partly' '' (m 2/3 $0.1 x1)");
}

TEST_F(ResultsStoreTest, AFailedWriteLeavesEverythingAsItWas) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q1", "fp-q1", {0}, 1, 1, "ok", {});
    const std::string before = snapshot();
    const auto error = [&](auto write) -> std::string {
        try {
            write();
        } catch (const StoreError& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(error([&] { store.store_mark(id, "q9", "fp", {}, 1, 1, "", {}); }),
              db() + ": sheet " + std::to_string(id) + " has no answer to question 'q9'");
    EXPECT_EQ(error([&] { store.store_mark_failure(id, "q9", "fp", "x", {}); }),
              db() + ": sheet " + std::to_string(id) + " has no answer to question 'q9'");
    // The old answers are deleted before the new ones fail to go in.
    EXPECT_NE(error([&] { store.store_parse(id, "sha-2", "k", {{"q1", "a", {}}, {"q1", "b", {}}}, {}); })
                  .find("UNIQUE constraint failed: answers.sheet_id, answers.q_id"),
              std::string::npos);
    EXPECT_NE(error([&] { store.set_status(id, "done", "", ""); }).find("CHECK constraint failed"), std::string::npos);
    EXPECT_NE(error([&] { store.store_mark(id, "q2", "fp", {}, NAN, 1, "", {}); }).find("not finite"),
              std::string::npos);
    const std::string unknown = db() + ": there is no sheet 99";
    EXPECT_EQ(error([&] { store.reset_sheet(99, "x"); }), unknown);
    EXPECT_EQ(error([&] { store.store_parse(99, "x", "k", {{"q1", "a", {}}}, {}); }), unknown);
    EXPECT_EQ(error([&] { store.store_mark(99, "q1", "fp", {}, 1, 1, "", {}); }), unknown);
    EXPECT_EQ(error([&] { store.store_mark_failure(99, "q1", "fp", "x", {}); }), unknown);
    EXPECT_EQ(error([&] { store.set_status(99, "marked", "", ""); }), unknown);
    EXPECT_EQ(snapshot(), before);
    // And the store still works.
    store.store_mark(id, "q2", "fp", {}, 0, 1, "", {});
    EXPECT_EQ(store.answers(id)[1].status, "marked");
}

// A child process stores parse after parse of different sizes and is killed
// in the middle; the store then holds one whole parse, the last committed.
TEST_F(ResultsStoreTest, AKilledWriterLeavesOnlyWholeParses) {
    { ResultsStore(db()).add_sheet("a.pdf", "/a.pdf", "a"); }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        try {
            ResultsStore store(db());
            for (int i = 1;; ++i) {
                std::vector<FoundAnswer> found;
                for (int q = 0; q < 5 + i % 11; ++q) {
                    found.push_back({"q" + std::to_string(q), "parse " + std::to_string(i), {i}});
                }
                store.store_parse(1, "sha", "k" + std::to_string(i), found, {});
                if (i == 20) (void)!::write(ready[1], "x", 1);
            }
        } catch (...) {
        }
        _exit(1);
    }
    close(ready[1]);
    char byte = 0;
    const bool started = read(ready[0], &byte, 1) == 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WIFSIGNALED(status));  // killed while writing, not ended by an error

    ResultsStore store(db());
    const std::string key = store.sheet(1)->parse_key;
    ASSERT_GE(key.size(), 2u);
    const int i = std::stoi(key.substr(1));
    EXPECT_GE(i, 20);
    const auto answers = store.answers(1);
    ASSERT_EQ(answers.size(), static_cast<std::size_t>(5 + i % 11));
    for (const auto& a : answers) {
        EXPECT_EQ(a.text, "parse " + std::to_string(i));
        EXPECT_EQ(a.pages, std::vector<int>{i});
    }
}

TEST_F(ResultsStoreTest, DeletingASheetDeletesItsAnswers) {
    {
        ResultsStore store(db());
        parsed_sheet(store, "ada");
        parsed_sheet(store, "bob");
    }
    RawDb raw(db());
    raw.exec("PRAGMA foreign_keys = ON; DELETE FROM sheets WHERE report_name = 'ada'");
    EXPECT_EQ(raw.rows("SELECT sheet_id, count(*) FROM answers GROUP BY sheet_id"), "2|3\n");
}

TEST_F(ResultsStoreTest, UnicodeAndQuotesRoundTrip) {
    const std::string path = "/classe/Zoë O'Brien \"B\" 学生 📄.pdf";
    const std::string q_id = "q'1\"; DROP TABLE sheets; --";
    const std::string text = std::string("λ = 2π\nligne deux") + '\0' + "après le zéro";
    {
        ResultsStore store(db());
        store.remember_paper("fp", "{\"title\": \"Prüfung – Σ\"}");
        const auto sheet = store.add_sheet(path, path, "Zoë 学生");
        store.store_parse(sheet.id, "sha", q_id, {{q_id, text, {1}}}, {});
        store.store_mark(sheet.id, q_id, "fp", {0}, 1, 1, "Très bien 👍", usage("modèle", 1, 1, 0, 1));
    }
    ResultsStore store(db());
    EXPECT_EQ(store.paper_json("fp"), "{\"title\": \"Prüfung – Σ\"}");
    const auto sheet = store.find_sheet(path);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->report_name, "Zoë 学生");
    EXPECT_EQ(sheet->parse_key, q_id);
    const auto answers = store.answers(sheet->id);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].q_id, q_id);
    EXPECT_EQ(answers[0].text, text);
    EXPECT_EQ(answers[0].feedback, "Très bien 👍");
    EXPECT_EQ(answers[0].usage.model, "modèle");
}

TEST_F(ResultsStoreTest, ListsAreJsonAPersonCanEdit) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q1", "fp", {0, 2}, 1, 2, "", {});
    RawDb raw(db());
    EXPECT_EQ(raw.rows("SELECT pages, criteria_met FROM answers ORDER BY position"), "[1]|[0, 2]\n[1, 2]|[]\n[]|[]\n");

    raw.exec("UPDATE answers SET pages = ' [ 3,4 ,-1]\n' WHERE q_id = 'q1'");
    EXPECT_EQ(store.answers(id)[0].pages, (std::vector<int>{3, 4, -1}));
    for (const char* bad : {"[1, two]", "[1,]", "[1] 2", "1, 2", "[1.5]", "[99999999999]", ""}) {
        raw.exec("UPDATE answers SET criteria_met = '" + std::string(bad) + "' WHERE q_id = 'q2'");
        try {
            store.answers(id);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const StoreError& e) {
            EXPECT_EQ(std::string(e.what()), db() + ": sheet " + std::to_string(id) +
                                                 ", question 'q2': criteria_met is not a list of whole numbers: " +
                                                 bad);
        }
    }
}

TEST_F(ResultsStoreTest, TheClassViewShowsOneRowPerAnswer) {
    ResultsStore store(db());
    const std::int64_t id = parsed_sheet(store);
    store.store_mark(id, "q2", "fp", {0}, 1, 2, "", {});
    store.add_sheet("bob.pdf", "/class/bob.pdf", "bob");
    EXPECT_EQ(RawDb(db()).rows("SELECT sheet, q_id, answer_status, awarded, maximum FROM class_view"),
              "ada.pdf|q1|pending|NULL|NULL\nada.pdf|q2|marked|1.0|2.0\nada.pdf|q3|pending|NULL|NULL\n"
              "bob.pdf|NULL|NULL|NULL|NULL\n");
}

TEST_F(ResultsStoreTest, RemembersTheLastTwoFilesItWrote) {
    {
        ResultsStore store(db());
        EXPECT_TRUE(store.written("a.json").empty());
        store.record_written("a.json", {12, std::string(64, 'a')});
        EXPECT_EQ(store.written("a.json").size(), 1u);
        store.record_written("a.json", {7, std::string(64, 'b')});
        store.record_written("a.json", {9, std::string(64, 'c')});
    }
    ResultsStore again(db());
    const auto a = again.written("a.json");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].size, 9);
    EXPECT_EQ(a[0].sha256, std::string(64, 'c'));
    EXPECT_EQ(a[1].size, 7);
    EXPECT_EQ(a[1].sha256, std::string(64, 'b'));
    EXPECT_TRUE(again.written("b.json").empty());
}

TEST_F(ResultsStoreTest, FlagsRoundTripAndAreReplacedOrClearedWithTheRead) {
    const std::vector<Flag> sheet_flags{{"hidden_text", "page 2: 3 hidden words \"x\"\n\\ \x01 Zoë"},
                                        {"hidden_text", "page 3"}};
    std::int64_t id = 0;
    {
        ResultsStore store(db());
        id = store.add_sheet("a.pdf", "/a.pdf", "a").id;
        EXPECT_TRUE(store.sheet(id)->flags.empty());
        store.store_parse(id, "sha", "q1,q2", {{"q1", "x", {1}, {{"injection", "Q1: asks for full marks"}}}, {"q2", "y", {1}}},
                          {}, sheet_flags);
    }
    ResultsStore store(db());
    EXPECT_EQ(store.sheet(id)->flags, sheet_flags);
    const auto answers = store.answers(id);
    EXPECT_EQ(answers[0].flags, (std::vector<Flag>{{"injection", "Q1: asks for full marks"}}));
    EXPECT_TRUE(answers[1].flags.empty());
    EXPECT_EQ(RawDb(db()).value("SELECT answer_flags FROM class_view WHERE q_id = 'q1'"),
              "[{\"kind\": \"injection\", \"note\": \"Q1: asks for full marks\"}]");

    store.store_parse(id, "sha", "q1,q2", {{"q1", "x", {1}}}, {});
    EXPECT_TRUE(store.answers(id)[0].flags.empty());
    EXPECT_TRUE(store.sheet(id)->flags.empty());
    store.set_sheet_flags(id, sheet_flags);
    EXPECT_EQ(store.sheet(id)->flags, sheet_flags);
    store.reset_sheet(id, "sha-2");
    EXPECT_TRUE(store.sheet(id)->flags.empty());
}

TEST_F(ResultsStoreTest, FlagsEditedIntoSomethingElseAreRefused) {
    ResultsStore store(db());
    const std::int64_t id = store.add_sheet("a.pdf", "/a.pdf", "a").id;
    RawDb raw(db());
    for (const char* bad : {"{}", "[1]", "[{\"kind\": 1, \"note\": \"n\"}]", "[{\"note\": \"n\"}]", "[", "nope"}) {
        raw.exec("UPDATE sheets SET flags = '" + std::string(bad) + "'");
        try {
            store.sheet(id);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const StoreError& e) {
            EXPECT_EQ(std::string(e.what()),
                      db() + ": sheet " + std::to_string(id) + ": flags are not a list of {\"kind\", \"note\"}: " + bad);
        }
    }
}

TEST_F(ResultsStoreTest, ASchema1DatabaseIsUpgradedKeepingEverything) {
    {
        ResultsStore store(db());
        parsed_sheet(store);
    }
    // Back to the first schema, as the previous version of the library left it.
    RawDb(db()).exec(
        "DROP VIEW class_view; DROP TABLE events;"
        "CREATE TABLE old_sheets AS SELECT id, path_given, path_resolved, report_name, sha256, paper_fingerprint, "
        "status, failure, parsed, parse_key, parse_model, parse_input_tokens, parse_output_tokens, parse_cost, "
        "parse_calls, added_at, updated_at FROM sheets; DROP TABLE sheets; ALTER TABLE old_sheets RENAME TO sheets;"
        "CREATE TABLE old_answers AS SELECT sheet_id, q_id, position, text, pages, status, question_fingerprint, "
        "criteria_met, awarded, maximum, feedback, failure, model, input_tokens, output_tokens, cost, calls, marked_at "
        "FROM answers; DROP TABLE answers; ALTER TABLE old_answers RENAME TO answers;"
        "CREATE VIEW class_view AS SELECT s.id AS sheet_id FROM sheets AS s;"
        "UPDATE meta SET value = '1' WHERE key = 'schema_version'; PRAGMA user_version = 1");
    const std::string before = RawDb(db()).rows("SELECT * FROM sheets ORDER BY id");
    ResultsStore store(db());
    RawDb raw(db());
    EXPECT_EQ(raw.value("PRAGMA user_version"), "3");
    EXPECT_EQ(raw.value("SELECT value FROM meta WHERE key = 'schema_version'"), "3");
    EXPECT_EQ(raw.value("SELECT count(*) FROM class_view WHERE sheet_flags = '[]' AND answer_flags = '[]' "
                        "AND student_id = ''"), "3");
    EXPECT_EQ(raw.value("SELECT count(*) FROM events"), "0");
    const auto sheet = store.find_sheet("/class/ada.pdf");
    ASSERT_TRUE(sheet);
    EXPECT_EQ(store.answers(sheet->id).size(), 3u);
    // The old columns as they were, the new ones at the end of each row.
    std::string after = raw.rows("SELECT * FROM sheets ORDER BY id");
    EXPECT_EQ(after, before.substr(0, before.size() - 1) + "|[]||||||\n");
}

namespace {

BatchLine line(const std::string& id, const std::string& stage = "reading") {
    BatchLine l;
    l.custom_id = id;
    l.stage = stage;
    l.body = "{\"model\": \"m\", \"id\": \"" + id + "\"}";
    return l;
}

BatchRecord submitted(const std::string& id, const std::string& stage = "reading") {
    BatchRecord b;
    b.batch_id = id;
    b.stage = stage;
    b.input_file_id = "file-" + id;
    b.status = "validating";
    return b;
}

}  // namespace

TEST_F(ResultsStoreTest, ABatchAndItsProgressSurviveAReopen) {
    {
        ResultsStore store(db());
        store.record_batch(submitted("b1"), {line("a"), line("b")});
        auto b = *store.open_batch();
        b.status = "in_progress";
        b.completed = 1;
        b.output_file_id = "file-out";
        store.update_batch(b);
    }
    ResultsStore store(db());
    const auto open = store.open_batch();
    ASSERT_TRUE(open);
    EXPECT_EQ(open->batch_id, "b1");
    EXPECT_EQ(open->status, "in_progress");
    EXPECT_EQ(open->total, 2);
    EXPECT_EQ(open->completed, 1);
    EXPECT_EQ(open->output_file_id, "file-out");
    EXPECT_FALSE(open->collected);
    const auto lines = store.batch_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].state, "submitted");
    EXPECT_EQ(lines[0].batch_id, "b1");
    EXPECT_EQ(lines[0].tries, 1);
    EXPECT_EQ(lines[1].body, line("b").body);
}

TEST_F(ResultsStoreTest, AKeptReadingSurvivesAReopenIsReplacedUnderItsKeyAndGoesWithTheLines) {
    {
        ResultsStore store(db());
        store.keep_reading("sha|auto", {"{\"texts\": 1}", "[]"});
        store.keep_reading("sha|auto", {"{\"texts\": 2}", "[{\"cost\": 0.5}]"});
        store.keep_reading("sha|local", {"{\"texts\": 3}", "[]"});
    }
    ResultsStore store(db());
    ASSERT_TRUE(store.kept_reading("sha|auto"));
    EXPECT_EQ(store.kept_reading("sha|auto")->reading, "{\"texts\": 2}");
    EXPECT_EQ(store.kept_reading("sha|auto")->usage, "[{\"cost\": 0.5}]");
    EXPECT_EQ(store.kept_reading("sha|local")->reading, "{\"texts\": 3}");
    EXPECT_FALSE(store.kept_reading("other|auto"));
    store.clear_batch_lines();
    EXPECT_FALSE(store.kept_reading("sha|auto"));
    EXPECT_FALSE(store.kept_reading("sha|local"));
}

TEST_F(ResultsStoreTest, ABatchRecordedBeforeTheServiceNamedItTakesItsNameWithItsLines) {
    ResultsStore store(db());
    BatchRecord unmade = submitted("unmade:file-1");
    unmade.status = "creating";
    store.record_batch(unmade, {line("a"), line("b")});
    store.rename_batch("unmade:file-1", "b1");
    const auto open = store.open_batch();
    ASSERT_TRUE(open);
    EXPECT_EQ(open->batch_id, "b1");
    EXPECT_EQ(open->input_file_id, "file-unmade:file-1");
    EXPECT_EQ(store.batch_line("a")->batch_id, "b1");
    EXPECT_EQ(store.batch_line("b")->batch_id, "b1");
    store.store_batch_results("b1", {{"a", true, "{}", ""}}, "expired");
    EXPECT_EQ(store.batch_line("a")->state, "done");
    EXPECT_EQ(store.batch_line("b")->state, "failed");
}

TEST_F(ResultsStoreTest, ResultsOfAnEndedBatchAreStoredAndTheLinesWithoutOneFail) {
    ResultsStore store(db());
    store.record_batch(submitted("b1"), {line("a"), line("b"), line("c")});
    store.store_batch_results("b1", {{"a", true, "{\"choices\": []}", ""}, {"b", false, "", "status 500"}},
                              "the batch expired before answering it");
    EXPECT_FALSE(store.open_batch());
    ASSERT_EQ(store.batches().size(), 1u);
    EXPECT_TRUE(store.batches()[0].collected);
    EXPECT_EQ(store.batch_line("a")->state, "done");
    EXPECT_EQ(store.batch_line("a")->response, "{\"choices\": []}");
    EXPECT_EQ(store.batch_line("b")->state, "failed");
    EXPECT_EQ(store.batch_line("b")->error, "status 500");
    EXPECT_EQ(store.batch_line("c")->error, "the batch expired before answering it");
    EXPECT_FALSE(store.batch_line("d"));
}

TEST_F(ResultsStoreTest, ALineSentAgainCountsItsTriesAndTakesOnlyItsNewBatchsResult) {
    ResultsStore store(db());
    store.record_batch(submitted("b1"), {line("a")});
    store.store_batch_results("b1", {}, "expired");
    store.record_batch(submitted("b2", "marking"), {line("a"), line("m", "marking")});
    // A late result of the first batch does not stand for the second.
    store.store_batch_results("b1", {{"a", true, "{\"old\": 1}", ""}}, "expired");
    EXPECT_EQ(store.batch_line("a")->state, "submitted");
    EXPECT_EQ(store.batch_line("a")->tries, 2);
    EXPECT_EQ(store.open_batch()->batch_id, "b2");
    store.fail_batch_line("m", "did not hold up");
    store.retry_batch_lines(2);
    EXPECT_EQ(store.batch_line("m")->tries, 1);  // failed once: kept
    store.store_batch_results("b2", {}, "expired");
    store.retry_batch_lines(2);
    EXPECT_EQ(store.batch_line("a")->tries, 0);  // failed in two batches: a new run starts it again
    store.clear_batch_lines();
    EXPECT_TRUE(store.batch_lines().empty());
    EXPECT_EQ(store.batches().size(), 2u);  // the history stays
    EXPECT_EQ(store.batches()[1].stage, "marking");
}

TEST_F(ResultsStoreTest, OpenedToReadNothingIsWrittenAndAnEarlierStoreOfThisSchemaIsRead) {
    {
        ResultsStore store(db());
        parsed_sheet(store);
        store.record_written("class_results.csv", {10, "ab"});
    }
    // As a store of this schema from before the sorting names and the
    // record of written files: what the read stands in for.
    RawDb(db()).exec(
        "DROP VIEW class_view; DROP TABLE written_files;"
        "CREATE TABLE old_sheets AS SELECT id, path_given, path_resolved, report_name, sha256, paper_fingerprint, "
        "status, failure, parsed, parse_key, parse_model, parse_input_tokens, parse_output_tokens, parse_cost, "
        "parse_calls, added_at, updated_at, flags, student_id, student_name, student_email, student_section, "
        "identity_source FROM sheets; DROP TABLE sheets; ALTER TABLE old_sheets RENAME TO sheets;");
    const std::string before = snapshot();
    const auto size = std::filesystem::file_size(db());
    {
        ResultsStore store(db(), ResultsStore::Access::read);
        ASSERT_EQ(store.sheets().size(), 1u);
        EXPECT_EQ(store.sheets()[0].identity.sort_name, "");
        EXPECT_EQ(store.answers(store.sheets()[0].id).size(), 3u);
        EXPECT_TRUE(store.written("class_results.csv").empty());
        EXPECT_THROW(store.set_status(store.sheets()[0].id, "marked", "", ""), StoreError);  // nothing stored
    }
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(std::filesystem::file_size(db()), size);
    EXPECT_FALSE(RawDb(db()).value("SELECT count(*) FROM pragma_table_info('sheets') WHERE name = 'student_sort_name'") == "1");

    // Another schema cannot be brought up to date without writing: said so.
    RawDb(db()).exec("PRAGMA user_version = 2");
    try {
        ResultsStore store(db(), ResultsStore::Access::read);
        FAIL() << "opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("is of results schema 2; this version reads 3 (it cannot be brought up "
                                             "to date while it cannot be written)"),
                  std::string::npos)
            << e.what();
    }
}
