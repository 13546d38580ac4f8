// quorvan mark: what a sheet, as read, holds: its answers, words on it that a
// reader cannot see, answers that address the marker, and who wrote it.
#include <algorithm>

#include "mark_run.hpp"

namespace quorvan::cli::marking {

namespace {

// An answer that reads as if written to the marker rather than to the
// question: it is still marked, and the teacher is told why to look at it.
std::vector<core::Flag> injection_flags(const std::string& q_id, const std::string& text) {
    const std::vector<std::string> signs = core::injection_signs(text);
    if (signs.empty()) return {};
    std::string why;
    for (const auto& sign : signs) why += (why.empty() ? "" : "; ") + sign;
    return {{"injection", q_id + ": answer may address the marker (" + why + ")"}};
}

}  // namespace

// True when a page of the sheet, as read, holds any text.
bool has_text(const py::object& sheet) {
    py::object texts = py::getattr(sheet, "extracted_texts", py::none());
    if (!PyDict_Check(texts.ptr())) return false;
    for (py::handle text : py::dict(texts).attr("values")()) {
        if (PyUnicode_Check(text.ptr()) && pyglue::truth(text.attr("strip")())) return true;
    }
    return false;
}

// How each page of the sheet was read (`page_reading`, as the reading
// reported it), to be stored with the sheet.
std::vector<core::PageReading> page_reading(const py::object& sheet) {
    std::vector<core::PageReading> pages;
    py::object found = py::getattr(sheet, "page_reading", py::none());
    if (found.is_none()) return pages;
    for (py::handle entry : found) {
        core::PageReading p;
        p.page = py::cast<int>(entry["page"]);
        p.method = utf8(entry["method"]);
        p.words = py::cast<std::int64_t>(entry["words"]);
        py::object confidence = entry["confidence"], low_share = entry["low_share"];
        if (!confidence.is_none()) p.confidence = py::cast<double>(confidence);
        if (!low_share.is_none()) p.low_share = py::cast<double>(low_share);
        p.reliable = pyglue::truth(entry["reliable"]);
        p.note = utf8(entry["note"]);
        pages.push_back(std::move(p));
    }
    return pages;
}

namespace {

constexpr const char* kCheckAgainstImage = "; check the text against the page image";

std::string page_list(const std::vector<int>& pages) {
    std::string out;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == pages.size() ? " and " : ", ") + std::to_string(pages[i]);
    }
    return out;
}

}  // namespace

// A page read so badly that its text may not be what the student wrote is
// still marked, but a person is told which pages to look at.
std::vector<core::Flag> reading_flags(const std::vector<core::PageReading>& pages) {
    std::vector<core::Flag> flags;
    for (const auto& p : pages) {
        if (!p.reliable) flags.push_back({kUnreliableReading, "page " + std::to_string(p.page) + ": " + p.note + kCheckAgainstImage});
    }
    return flags;
}

// The parse, stored as found: each answer's text and pages, and its flags.
std::vector<core::FoundAnswer> found_answers(const py::object& sheet, const std::vector<core::PageReading>& pages) {
    std::vector<int> unreliable;
    for (const auto& p : pages) {
        if (!p.reliable) unreliable.push_back(p.page);
    }
    std::vector<core::FoundAnswer> found;
    for (py::handle q_id : py::object(sheet.attr("get_question_ids")())) {
        py::object answer = sheet.attr("get_answer")(q_id);
        core::FoundAnswer f;
        f.q_id = utf8(q_id);
        // Compatibility forms as the letters they show ("ｉｇｎｏｒｅ" is
        // "ignore"), and no mark a reader cannot see: what is checked and sent
        // is what the page says.
        std::size_t invisible = 0;
        f.text = core::without_invisible_marks(utf8(M("unicodedata").attr("normalize")("NFKC", answer.attr("text"))),
                                               invisible);
        for (py::handle page : py::object(answer.attr("pages"))) f.pages.push_back(py::cast<int>(page));
        f.flags = injection_flags(f.q_id, f.text);
        if (invisible > 0) {
            f.flags.push_back({"invisible_characters",
                               f.q_id + ": " + std::to_string(invisible) +
                                   (invisible == 1 ? " invisible character" : " invisible characters") +
                                   " (zero-width or text-direction marks) removed before marking"});
        }
        std::vector<int> on;
        for (int page : f.pages) {
            if (std::find(unreliable.begin(), unreliable.end(), page) != unreliable.end()) on.push_back(page);
        }
        if (f.pages.empty() && !unreliable.empty()) {
            // Where it was written is not known: it may be on a page read badly.
            f.flags.push_back({kUnreliableReading, f.q_id + ": its page is not known, and " +
                                                       (unreliable.size() == 1 ? "page " : "pages ") +
                                                       page_list(unreliable) +
                                                       (unreliable.size() == 1 ? " was" : " were") +
                                                       " read unreliably" + kCheckAgainstImage});
        }
        if (!on.empty()) {
            f.flags.push_back({kUnreliableReading, f.q_id + ": written on " + (on.size() == 1 ? "page " : "pages ") +
                                                       page_list(on) +
                                                       (on.size() == 1 ? ", which was" : ", which were") +
                                                       " read unreliably" +
                                                       kCheckAgainstImage});
        }
        found.push_back(std::move(f));
    }
    return found;
}

// Text on the sheet's pages that a reader cannot see, as the reading found
// it (`hidden_text`: one entry per page): a flag per page, with a few of the
// words so that a person can find them.
std::vector<core::Flag> hidden_text_flags(const py::object& sheet) {
    std::vector<core::Flag> flags;
    py::object found = py::getattr(sheet, "hidden_text", py::none());
    if (found.is_none()) return flags;
    for (py::handle entry : found) {
        std::string note = "page " + utf8(pyglue::str(entry["page"])) + ": ";
        const long words = py::cast<long>(entry["words"]);
        std::string kinds;
        for (py::handle kind : py::object(entry["kinds"])) kinds += (kinds.empty() ? "" : ", ") + utf8(kind);
        if (pyglue::truth(entry["replaced"])) {
            note += std::to_string(words) + (words == 1 ? " word" : " words") +
                    " of its text layer not in the page image; what the image shows was marked instead";
        } else {
            note += std::to_string(words) + (words == 1 ? " word" : " words") + " that a reader cannot see (" + kinds +
                    ") not marked";
        }
        std::string sample;
        for (py::handle word : py::object(entry["sample"])) {
            std::string w = utf8(word);
            if (w.size() > 40) w = utf8(py::str(word)[py::slice(0, 37, 1)]) + "...";
            sample += (sample.empty() ? "" : ", ") + ("\"" + w + "\"");
        }
        if (!sample.empty()) note += ": " + sample;
        flags.push_back({"hidden_text", note});
    }
    return flags;
}

// What the sheet's first page says about who wrote it, unless the roster
// said it: a sheet read again after it changed may no longer say it.
void note_identity(core::ResultsStore& store, std::int64_t id, const py::object& sheet) {
    const core::Identity before = store.sheet(id)->identity;
    if (before.source == "roster") return;
    const core::Identity now = identity_on_sheet(sheet);
    if (!(now == before)) store.set_identity(id, now);
}


}  // namespace quorvan::cli::marking
