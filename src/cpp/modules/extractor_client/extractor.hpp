// quorvan_core.ocr_extractor.extractor_client: PDF pages to text.
#pragma once

#include "pyglue.hpp"

namespace quorvan::extractor {
namespace py = pybind11;

struct ExtractorClientTag {};
struct RecommendationTag {};
using ClientClass = py::class_<ExtractorClientTag>;
using RecommendationClass = py::class_<RecommendationTag>;

// This extension module; collaborators are looked up on it at each use.
extern pyglue::Module M;

inline constexpr const char* kModuleName = "quorvan_core.ocr_extractor.extractor_client";
inline constexpr const char* kModel = "gpt-5-mini-2025-08-07";
inline constexpr long long kDefaultDpi = 150;
inline constexpr long long kMinDpi = 1;
inline constexpr long long kMaxDpi = 1200;

// Backends that run here, and the types accepted in configuration.
inline constexpr const char* kLocal = "local";
inline constexpr const char* kOpenAI = "openai";
bool is_known_type(const std::string& type);
bool has_backend(const std::string& type);

// What the OpenAI backend lacks right now ("" when it can run): the key given
// (or, when None/empty, OPENAI_API_KEY) and the openai package.
std::string openai_missing(py::handle api_key);
// The key the OpenAI backend uses: the one given, else OPENAI_API_KEY.
py::object openai_key(py::handle api_key);

// Which pages the vision model may read besides the backend's own: none
// ("local"), those OCR read with low confidence ("auto"), or every page read
// by OCR ("vision").
inline constexpr const char* kReaderLocal = "local";
inline constexpr const char* kReaderAuto = "auto";
inline constexpr const char* kReaderVision = "vision";
// A page OCR read with a mean word confidence under this is read badly: on
// scans of handwriting and print, every page OCR read under 85 % of its
// words right scored under it, and no printed page did.
inline constexpr double kDefaultMinConfidence = 85;

// The reader and min_confidence attributes, checked again: they may have been
// assigned directly.
std::string current_reader(py::object self);
double current_min_confidence(py::object self);

// The dpi attribute, checked again: it may have been assigned directly.
long long current_dpi(py::object self);

// The values of a ReadLimits, checked again: they may have been assigned
// directly. ValueError for one out of range.
void check_read_limits(py::handle max_pages, py::handle max_chars, py::handle timeout, py::handle memory_mb);

void init_recommendation(RecommendationClass& cls);
void init_client(ClientClass& cls);
void init_extraction(ClientClass& cls);

}  // namespace quorvan::extractor
