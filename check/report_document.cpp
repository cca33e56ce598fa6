#include <cinttypes>

#include "check/console.h"
#include "check/report_parts.h"
#include "fetch/document_signature.h"
#include "watcher/watcher.h"

void ReportSignature(const FetchReport& report, const std::string& stored) {
  if (!DocumentKeysBuiltIn()) {
    Line("Keys", "none built in: a document counts signed or not");
    return;
  }
  std::string names;
  for (std::size_t i = 0; i < g_documentKeyCount; ++i) {
    names += (i == 0 ? "" : ", ") + std::string(g_documentKeys[i].name);
  }
  Line("Keys", "this build trusts %s", names.c_str());
  SignatureBlock storedBlock;
  if (ParseSignatureBlock(stored, &storedBlock)) {
    Line("", "the stored copy's serial is %" PRIu64, storedBlock.serial);
  } else {
    Line("", "the stored copy has no block that can be read: any validly signed document counts");
  }
  const std::string& body = report.answer.body;
  if (report.outcome == CheckOutcome::kSameAsStored) {
    Line("Signature", "not verified: %s", CheckOutcomeText(report.outcome));
    return;
  }
  if (!report.signatureChecked) {
    Line("Signature", "none looked at: the answer does not count");
    return;
  }
  SignatureBlock block;
  const CheckOutcome read = ReadSignatureBlock(body, &block);
  if (read != CheckOutcome::kOk) {
    Line("Signature", "%s", CheckOutcomeText(read));
    return;
  }
  Line("Signature", "block of key %s, serial %" PRIu64, block.keyName, block.serial);
  switch (report.outcome) {
    case CheckOutcome::kUnknownKey:
    case CheckOutcome::kBadSignature:
    case CheckOutcome::kLibraryMissing:
      Line("", "%s", CheckOutcomeText(report.outcome));
      return;
    default:
      break;
  }
  Line("", "the signature verifies with that key");
  Line("", "%s",
       report.outcome == CheckOutcome::kOldSerial ? CheckOutcomeText(report.outcome)
                                                  : "the serial is above the stored copy's");
}

// The version rule; returns its outcome once the document counts.
CheckOutcome ReportVersions(const FetchReport& report, const char* storedPath) {
  std::string storedVersion;
  const CheckOutcome stored = ReadStoredVersionText(storedPath, &storedVersion);
  if (stored == CheckOutcome::kOk) {
    Line("Stored", "%s: version \"%s\"", storedPath, storedVersion.c_str());
  } else {
    Line("Stored", "%s: %s", storedPath, CheckOutcomeText(stored));
  }
  if (report.outcome == CheckOutcome::kSameAsStored) {
    Line("Document", "the stored copy, byte for byte");
    return report.outcome;
  }
  if (report.outcome != CheckOutcome::kOk) {
    Line("Document", "none that counts (see above)");
    return report.outcome;
  }
  std::string documentVersion;
  const CheckOutcome document = ReadDocumentVersionText(report.text, &documentVersion);
  if (document == CheckOutcome::kOk) {
    Line("Document", "version \"%s\"", documentVersion.c_str());
  } else {
    Line("Document", "%s", CheckOutcomeText(document));
  }
  // The rule itself, as the service applies it.
  const CheckOutcome versions = CompareVersions(storedPath, report.text, nullptr, nullptr);
  Line("", "%s",
       versions == CheckOutcome::kOk ? "the versions differ: an update"
                                     : CheckOutcomeText(versions));
  return versions;
}
