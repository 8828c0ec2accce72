#include "core/settings/registry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace horalign {
namespace {

bool IsBlankChar(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Only spaces count, as in the program's Trim.
bool IsSpaces(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' '; });
}

// Reads a decimal number from the start of a text. With blanksInside, blanks between the
// parts of the number are skipped as well as those before it.
class NumberScanner {
 public:
  NumberScanner(std::string_view text, bool blanksInside)
      : text_(text), blanksInside_(blanksInside) {}

  // The number's value; `found` tells whether it had a digit, End() where it stopped.
  double Scan(bool& found) {
    SkipBlanks();
    bool negative = false;
    if (Peek() == '+' || Peek() == '-') negative = Take() == '-';
    std::string intDigits;
    std::string fracDigits;
    CollectDigits(intDigits);
    if (Peek() == '.') {
      Take();
      CollectDigits(fracDigits);
    }
    found = !intDigits.empty() || !fracDigits.empty();
    if (!found) return 0.0;
    end_ = pos_;
    const long long exponent = ScanExponent();
    const double magnitude = Magnitude(intDigits, fracDigits, exponent);
    return negative ? -magnitude : magnitude;
  }

  std::size_t End() const { return end_; }

 private:
  static constexpr long long kExponentCap = 1'000'000;

  char Peek() {
    if (blanksInside_) SkipBlanks();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }
  char Take() { return text_[pos_++]; }
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlankChar(text_[pos_])) ++pos_;
  }
  void CollectDigits(std::string& out) {
    while (IsDigit(Peek())) out.push_back(Take());
  }

  // An exponent counts only with at least one digit; "1e" is 1 followed by a letter.
  long long ScanExponent() {
    if (Peek() != 'e' && Peek() != 'E') return 0;
    const std::size_t mark = pos_;
    Take();
    bool negative = false;
    if (Peek() == '+' || Peek() == '-') negative = Take() == '-';
    if (!IsDigit(Peek())) {
      pos_ = mark;
      return 0;
    }
    long long value = 0;
    while (IsDigit(Peek())) value = std::min(kExponentCap, value * 10 + (Take() - '0'));
    end_ = pos_;
    return negative ? -value : value;
  }

  // Decides overflow and underflow from the digits themselves, so that no exponent, however
  // long, reaches the conversion.
  static double Magnitude(std::string intDigits, const std::string& fracDigits,
                          long long exponent) {
    intDigits.erase(0, intDigits.find_first_not_of('0'));
    long long order = static_cast<long long>(intDigits.size());
    if (intDigits.empty()) {
      const auto firstNonZero = fracDigits.find_first_not_of('0');
      if (firstNonZero == std::string::npos) return 0.0;
      order = -static_cast<long long>(firstNonZero);
    }
    order = std::clamp(order, -kExponentCap, kExponentCap) + exponent;
    if (order > 400) return std::numeric_limits<double>::infinity();
    if (order < -400) return 0.0;
    const std::string plain =
        (intDigits.empty() ? "0" : intDigits) + "." + fracDigits + "e" + std::to_string(exponent);
    double value = 0.0;
    const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      return order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return value;
  }

  std::string_view text_;
  bool blanksInside_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

std::string QueryRegValue(RegistryStore& store, const std::string& keyPath,
                          const std::string& name) {
  const auto value = store.Query(keyPath, name);
  if (!value) return "";
  const auto& data = value->data;
  switch (value->type) {
    case kRegSz: {
      const auto nul = std::find(data.begin(), data.end(), std::uint8_t{0});
      if (nul == data.end()) return "";
      return std::string(data.begin(), nul);
    }
    case kRegDword:
    case kRegBinary: {
      // Read through a 4-byte buffer: shorter data fills the low bytes, longer data fails.
      if (data.size() > 4) return "";
      std::uint32_t bits = 0;
      for (std::size_t i = 0; i < data.size(); ++i) bits |= std::uint32_t{data[i]} << (8 * i);
      return std::to_string(static_cast<std::int32_t>(bits));
    }
    default:
      return "";
  }
}

std::string GetRegSetting(RegistryStore& store, const std::string& keyPath, const std::string& name,
                          const std::optional<std::string>& def) {
  std::string text = QueryRegValue(store, keyPath, name);
  if (def && IsSpaces(text)) return *def;
  return text;
}

void SaveRegSetting(RegistryStore& store, const std::string& keyPath, const std::string& name,
                    RegKind kind, const std::string& text) {
  if (kind != RegKind::kString) return;
  (void)store.SetString(keyPath, name, IsSpaces(text) ? std::string(" ") : text);
}

double LeadingNumber(std::string_view text) {
  NumberScanner scanner(text, true);
  bool found = false;
  return scanner.Scan(found);
}

std::optional<double> WholeNumber(std::string_view text) {
  NumberScanner scanner(text, false);
  bool found = false;
  const double value = scanner.Scan(found);
  if (!found) return std::nullopt;
  const auto rest = text.substr(scanner.End());
  if (!std::all_of(rest.begin(), rest.end(), IsBlankChar)) return std::nullopt;
  return value;
}

std::optional<std::int32_t> RoundIntoField(double value, int bits) {
  if (!std::isfinite(value) || bits < 1 || bits > 32) return std::nullopt;
  double rounded = std::floor(value);
  const double fraction = value - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  const double high = std::ldexp(1.0, bits - 1);
  if (rounded < -high || rounded > high - 1.0) return std::nullopt;
  return static_cast<std::int32_t>(rounded);
}

}  // namespace horalign
