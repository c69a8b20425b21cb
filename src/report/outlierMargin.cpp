// Reading an outlier margin as a fraction or a percentage.
#include "report/outlierMargin.h"

#include <string_view>

#include "common/decimalText.h"

namespace report {

bool parseOutlierMargin(const std::string& text, double* fraction) {
    const bool percent = !text.empty() && text.back() == '%';
    double number = 0.0;
    if (!readDecimalFraction(std::string_view(text).substr(0, text.size() - (percent ? 1 : 0)), &number)) {
        return false;
    }
    const double value = percent ? number / 100.0 : number;
    if (!(value >= 0.0 && value < 1.0)) {
        return false;
    }
    *fraction = value;
    return true;
}

}  // namespace report
