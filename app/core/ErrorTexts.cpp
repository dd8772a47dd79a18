#include "app/core/ErrorTexts.h"

#include "app/core/Texts.h"

namespace app {

ErrorText ErrorTextFor(uint32_t code) {
  ErrorText t;
  switch (code) {
    case 1:
      t.Lines = {
          "Could not establish communications with the indicator. Please check that:",
          "",
          "- The Tarn/Brae indicator is turned on or is on charge.",
          "- The serial cable is connected to a free COM port on your PC.",
          "   (Either CON port on the indicator can normally be used. Try the other CON port.)",
          "- No other program on your PC is using the COM port.",
          "- No item in the SERIAL setup screen in the indicator is using the CON port that",
          "   you are using unless its bit rate is 9600 or 38400.",
          "- Try turning the indicator off and on.",
          "- Try restarting your PC.",
      };
      break;
    case 2:
      t.Lines = {"Problem:", "", "If problem persists, contact Veltrona Service.", "", kServiceEmail};
      t.ProblemFormat = true;
      break;
    case 3:
      t.Lines = {
          "No available COM port.  Please check that:",
          "",
          "  No other application is running that also uses the PCs COM port.",
          "  Close down all such programs first.",
          "  This includes any DOS window that has made use of the COM port.",
      };
      break;
    case 4:
      t.Lines = {"The indicator type and the software to update is not a match.", "",
                 std::string("Contact Veltrona Service. ") + kServiceEmail};
      break;
    case kRestoredCode:
      t.Lines = {"Communication Restored."};
      t.HidesItself = true;
      break;
    default:
      break;
  }
  return t;
}

DialogGeometry DialogGeometryFor(int lineCount) {
  const int text = lineCount * 15 + 50;
  return {text, text + 100, text + 30};
}

}  // namespace app
