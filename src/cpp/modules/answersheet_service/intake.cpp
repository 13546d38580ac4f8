// The two intake entry points: PDF to text, text to an Answersheet, then the
// evaluation of every answer. The coroutine differs only in its lines, in
// awaiting the parse and the evaluation, and in the coroutine evaluation.
#include "../shared/extractor_choice.hpp"
#include "../shared/method_names.hpp"
#include "answersheet_service.hpp"

namespace quorvan::sheets {

using pyglue::Coro;

namespace {

void check_arguments(py::handle pdf_path, py::handle page_numbers) {
    pyglue::need_str(pdf_path, "pdf_path");
    pyglue::need_opt_list(page_numbers, "page_numbers");
}

// Steps shared by both entry points, up to the extracted pages.
void extract(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers,
             const char* opening) {
    if (!pyglue::truth(M("os").attr("path").attr("isfile")(pdf_path))) {
        pyglue::raise_new(PyExc_FileNotFoundError, pyglue::cat("PDF file not found: ", pdf_path));
    }
    say(opening);
    say("Processing PDF: ", pdf_path);
    say("Questions: ", py::len(question_paper.attr("get_question_ids")()));
    say("Step 1/3: Extracting text from PDF...");
    if (pyglue::truth(page_numbers)) {
        say("Processing pages: ", page_numbers);
    } else {
        say("Processing all pages");
    }
    // Selection and extraction run without yielding, so the extractor chosen
    // here is the one that reads the pages even though it is shared.
    pyglue::wrap_errors(PyExc_RuntimeError, "Failed to extract text from PDF: ", [&] {
        extraction::use_recommended_extractor(M("ExtractorClient"), self.attr("extractor_client"),
                                              question_paper.attr("subject"));
        self.attr("extracted_texts") = self.attr("extractor_client").attr("process_pdf")(pdf_path, page_numbers);
        say("Successfully extracted text from ", py::len(self.attr("extracted_texts")), " pages");
    });
}

py::object process_pdf(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    check_arguments(pdf_path, page_numbers);
    extract(self, pdf_path, question_paper, page_numbers, "Starting complete answersheet processing...");

    say("Step 2/3: Parsing student answers using AI...");
    py::object answersheet = pyglue::wrap_errors(PyExc_RuntimeError, "Failed to parse answers: ", [&] {
        py::object sheet = self.attr("llm_service").attr(methods::kParseAnswersheet)(self.attr("extracted_texts"),
                                                                              question_paper);
        say("Successfully parsed ", py::len(sheet.attr("get_question_ids")()), " student answers");
        return sheet;
    });

    say("Step 3/3: Evaluating all answers...");
    self.attr("evaluate_all_answers")(answersheet, question_paper);
    say("Complete answersheet processing finished successfully!");
    return answersheet;
}

Coro process_pdf_async(py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
    extract(self, pdf_path, question_paper, page_numbers, "Starting complete answersheet processing (async)...");

    say("Step 2/3: Parsing student answers using async AI processing...");
    py::object answersheet;
    py::object error;
    try {
        py::object parsing = self.attr("llm_service").attr(methods::kParseAnswersheetAsync)(self.attr("extracted_texts"),
                                                                                      question_paper);
        py::object sheet = co_await parsing;
        pyglue::print(pyglue::cat("Successfully parsed ", py::len(sheet.attr("get_question_ids")()),
                                  " student answers"));
        answersheet = sheet;
    } catch (...) {
        error = pyglue::caught();
    }
    if (error) pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Failed to parse answers: ", error), error);

    say("Step 3/3: Evaluating all answers using concurrent async processing...");
    py::object evaluating = self.attr("_evaluate_all_answers_async")(answersheet, question_paper);
    co_await evaluating;
    say("Complete async answersheet processing finished successfully!");
    co_return answersheet;
}

// The vision model's calls made while reading, counted by the model service
// as its own (from the task that read the sheet, so a run sees them as this
// sheet's).
void count_vision_calls(const py::object& self, const py::object& calls) {
    py::object service = self.attr("llm_service");
    if (!py::hasattr(service, "_count_call")) return;
    for (py::handle call : calls) {
        service.attr("_count_call")(call["task"], call["model"], call["input_tokens"], call["output_tokens"],
                                    call["ok"], pyglue::cat("page ", call["page"]));
    }
}

// A sheet read and parsed, not yet marked, for callers that mark many sheets
// at once on one event loop: the PDF is read on a worker thread so the loop
// keeps serving the other sheets' calls, and the extractor is handed in,
// already switched, rather than switched on the shared client mid-run.
Coro read_answersheet_async(py::object self, py::object pdf_path, py::object question_paper,
                            py::object page_numbers, py::object extractor_client, py::object executor,
                            bool check_visibility, py::object limits) {
    if (!pyglue::truth(M("os").attr("path").attr("isfile")(pdf_path))) {
        pyglue::raise_new(PyExc_FileNotFoundError, pyglue::cat("PDF file not found: ", pdf_path));
    }
    say("Reading answer sheet: ", pdf_path);
    py::object texts;
    py::object hidden;
    py::object page_reading = py::list();
    py::object error;
    py::object cancel;
    try {
        py::object reader = extractor_client;
        if (reader.is_none()) {
            reader = self.attr("extractor_client");
            extraction::use_recommended_extractor(M("ExtractorClient"), reader, question_paper.attr("subject"));
        }
        py::object loop = M("asyncio").attr("get_running_loop")();
        // Only the text a reader of the sheet sees is marked: words hidden in
        // its text layer would otherwise earn marks no examiner could see.
        // An extractor of the caller's own that only has process_pdf reads
        // as it always did, with nothing checked.
        if (py::hasattr(reader, "read_pdf")) {
            // With limits, read in a process of its own; cancelling this
            // coroutine (Ctrl-C) kills that process at once instead of
            // waiting for the worker thread.
            py::dict options;
            options["check_visibility"] = py::bool_(check_visibility);
            if (!limits.is_none()) {
                cancel = M("threading").attr("Event")();
                options["limits"] = limits;
                options["cancel"] = cancel;
            }
            py::object read_pdf =
                M("functools").attr("partial")(reader.attr("read_pdf"), pdf_path, page_numbers, **options);
            py::object reading = loop.attr("run_in_executor")(executor, read_pdf);
            py::object read = co_await reading;
            texts = read.attr("texts");
            hidden = read.attr("hidden");
            page_reading = py::getattr(read, "pages", py::list());
            count_vision_calls(self, py::getattr(read, "calls", py::list()));
        } else {
            py::object reading =
                loop.attr("run_in_executor")(executor, reader.attr("process_pdf"), pdf_path, page_numbers);
            texts = co_await reading;
            hidden = py::list();
        }
    } catch (...) {
        // Ctrl-C and the like stop the reading process before they go on.
        if (cancel && !pyglue::is_ordinary(pyglue::current_exception())) cancel.attr("set")();
        error = pyglue::caught();
    }
    if (error) pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Failed to extract text from PDF: ", error), error);
    say("Successfully extracted text from ", py::len(texts), " pages");

    py::object answersheet;
    try {
        py::object parsing = self.attr("llm_service").attr(methods::kParseAnswersheetAsync)(texts, question_paper);
        answersheet = co_await parsing;
    } catch (...) {
        error = pyglue::caught();
    }
    if (error) pyglue::raise_new(PyExc_RuntimeError, pyglue::cat("Failed to parse answers: ", error), error);
    say("Successfully parsed ", py::len(answersheet.attr("get_question_ids")()), " student answers");
    // The pages as read, for callers that judge the parse against them, and
    // what was left out of them.
    answersheet.attr("extracted_texts") = texts;
    answersheet.attr("hidden_text") = hidden;
    answersheet.attr("page_reading") = page_reading;
    co_return answersheet;
}

}  // namespace

void init_intake(ServiceClass& cls) {
    cls.def(
        "read_answersheet_async",
        [](py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers,
           py::object extractor_client, py::object executor, py::object check_visibility, py::object limits) {
            check_arguments(pdf_path, page_numbers);
            need_records(py::bool_(true), question_paper);
            return pyglue::make_coroutine(read_answersheet_async(self, pdf_path, question_paper, page_numbers,
                                                                 extractor_client, executor,
                                                                 pyglue::truth(check_visibility), limits),
                                          "AnswersheetService.read_answersheet_async");
        },
        py::arg("pdf_path"), py::arg("question_paper"), py::arg("page_numbers") = py::none(),
        py::arg("extractor_client") = py::none(), py::arg("executor") = py::none(),
        py::arg("check_visibility") = true, py::arg("limits") = py::none(),
        "Coroutine: read one answer sheet PDF on a worker thread (of executor, or the loop's default) and "
        "parse it into an Answersheet, not yet marked, whose extracted_texts holds the pages as read (with "
        "check_visibility, the default, only the text a reader of the page sees), hidden_text the words left "
        "out, one dict per page, and page_reading how each page was read (see ExtractorClient.read_pdf); the "
        "vision model's calls made to read it are counted by the model service. extractor_client reads the pages as it is set; by "
        "default the pipeline's own client, switched to the extractor recommended for the paper's subject. "
        "limits (an extractor_client.ReadLimits) reads the PDF in a process of its own within them, killed at "
        "once when this coroutine is cancelled; None reads it in this process.");
    cls.def("process_pdf", &process_pdf, py::arg("pdf_path"), py::arg("question_paper"),
            py::arg("page_numbers") = py::none(),
            "Extract, parse and evaluate one answer sheet PDF against the question paper; returns the "
            "Answersheet.");
    cls.def(
        "process_pdf_async",
        [](py::object self, py::object pdf_path, py::object question_paper, py::object page_numbers) {
            check_arguments(pdf_path, page_numbers);
            return pyglue::make_coroutine(process_pdf_async(self, pdf_path, question_paper, page_numbers),
                                          "AnswersheetService.process_pdf_async");
        },
        py::arg("pdf_path"), py::arg("question_paper"), py::arg("page_numbers") = py::none(),
        "Coroutine twin of process_pdf: the parse and the evaluation run on the caller's event loop.");
}

}  // namespace quorvan::sheets
