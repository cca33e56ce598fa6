#include "common/check_outcome.h"

namespace {

struct OutcomeWords {
  const char* name;
  const char* words;
};

const OutcomeWords kOutcomes[] = {
#define VEXLO_OUTCOME_WORDS(name, words) {#name + 1, words},
    VEXLO_CHECK_OUTCOMES(VEXLO_OUTCOME_WORDS)
#undef VEXLO_OUTCOME_WORDS
};

const OutcomeWords& Find(CheckOutcome outcome) {
  const auto index = static_cast<unsigned>(outcome);
  static const OutcomeWords kUnknown = {"Unknown", "an outcome without words"};
  return index < sizeof kOutcomes / sizeof kOutcomes[0] ? kOutcomes[index] : kUnknown;
}

}  // namespace

const char* CheckOutcomeText(CheckOutcome outcome) { return Find(outcome).words; }

const char* CheckOutcomeName(CheckOutcome outcome) { return Find(outcome).name; }
