// quorvan review: the teacher's page for a marked class, served from here.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <memory>

#include "class_view.hpp"
#include "cli.hpp"
#include "decisions.hpp"
#include "outputs.hpp"
#include "results_store.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace quorvan::cli {

void add_review_parser(py::object subparsers);
int run_review(const ReviewOptions& o, py::object parser);


// The review page's server over one results folder: the page's files, the
// JSON API over the store, and the token every request must carry.
class ReviewServer {
public:
    ReviewServer(std::unique_ptr<ResultsFolder> folder, std::string reviewer, std::string token, py::object page_folder);

    // Listens on 127.0.0.1:port (0: any free port), prints the address and
    // serves until Ctrl-C or SIGTERM (raised as KeyboardInterrupt). A port
    // that cannot be listened on is said, and 1 returned.
    int serve(Session& s, int port, bool open_browser);

    // The API's answers, as JSON-ready Python data (the GIL held).
    py::dict class_json() const;
    py::dict answer_json(const core::SheetRecord& sheet, const std::string& q_id) const;
    py::object agreement_json() const;

private:
    std::unique_ptr<ResultsFolder> folder_;
    std::string reviewer_, token_, host_;
    std::string once_;  // the browser's one-time address; "" when no browser is started
    mutable std::atomic<bool> once_used_{false};
    std::string index_html_, css_, js_;
    std::mutex write_mutex_;   // one change at a time, taken before the GIL
    std::mutex pages_mutex_;   // the cache of drawn pages
    std::mutex render_mutex_;  // one page drawn at a time: memory stays bounded
    std::map<std::pair<std::int64_t, long long>, std::string> pages_;
    // Events an undo has taken back, or made in taking one back: the next
    // undo goes further back instead of undoing the undo.
    std::set<std::int64_t> undone_;

    core::ResultsStore& store() const;
    const ClassPaper& paper() const;
    core::SheetRecord sheet_of(const py::object& given) const;
    py::dict who(const core::SheetRecord& sheet, const py::object& file_name) const;
    std::vector<core::Change> changes_for(const core::SheetRecord& sheet, const std::string& q_id,
                                          const std::string& field, const py::object& value) const;
    py::dict apply(const core::SheetRecord& sheet, const std::string& q_id, const std::vector<core::Change>& changes,
                   bool undo = false);
    std::vector<core::Change> undo_for(const core::SheetRecord& sheet, const std::string& q_id);
    std::vector<core::Change> keep_for(const core::SheetRecord& sheet, const std::string& q_id) const;
    std::string page_png(const core::SheetRecord& sheet, long long page);
    bool admit(const httplib::Request& req, httplib::Response& res) const;
    void route(httplib::Server& srv);
};

}  // namespace quorvan::cli
