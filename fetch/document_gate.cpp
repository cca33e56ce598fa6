#include "fetch/document_gate.h"

#include <algorithm>

namespace {

bool IsHttpSpace(char c) { return c == ' ' || c == '\t'; }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

std::string Trimmed(const std::string& text, std::size_t from, std::size_t to) {
  while (from < to && IsHttpSpace(text[from])) ++from;
  while (to > from && IsHttpSpace(text[to - 1])) --to;
  return text.substr(from, to - from);
}

}  // namespace

std::string MediaType(const std::string& contentType) {
  const std::size_t end = contentType.find(';');
  return Lower(Trimmed(contentType, 0, end == std::string::npos ? contentType.size() : end));
}

std::string CharsetParameter(const std::string& contentType) {
  std::size_t at = contentType.find(';');
  while (at != std::string::npos) {
    const std::size_t start = at + 1;
    at = contentType.find(';', start);
    const std::string parameter =
        Trimmed(contentType, start, at == std::string::npos ? contentType.size() : at);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string::npos) continue;
    if (Lower(Trimmed(parameter, 0, equals)) != "charset") continue;
    std::string value = Trimmed(parameter, equals + 1, parameter.size());
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return Lower(value);
  }
  return std::string();
}

bool IsDocumentAnswer(unsigned long status, const std::string& contentType) {
  return status >= 200 && status <= 299 && MediaType(contentType) != "text/html";
}

bool IsReadableEncoding(const std::string& contentEncoding, bool platformDecodes) {
  const std::string coding = MediaType(contentEncoding);  // lower case, trimmed
  if (coding.empty() || coding == "identity") return true;
  return platformDecodes && (coding == "gzip" || coding == "x-gzip" || coding == "deflate");
}
