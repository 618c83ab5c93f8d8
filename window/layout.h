// Where Form1's controls stand, in twips (1/1440 inch, 15 to a pixel at 96 dots per inch):
// left, top, width and height. The path box and the browse button are placed inside the frame,
// from its top-left corner; every other control from the client area's. Both views lay the
// window out from this table, and the tests that click the real window read it too.
#pragma once

namespace nestmend::layout {

struct Twips {
  int left, top, width, height;
};

inline constexpr Twips kFrame1{15, 0, 4485, 870};
inline constexpr Twips kFILE{30, 345, 3825, 345};      // inside Frame1
inline constexpr Twips kCommand1{3885, 345, 450, 375};  // inside Frame1
inline constexpr Twips kCommand2{4575, 105, 1200, 330};
inline constexpr Twips kCommand3{4590, 540, 1170, 300};
inline constexpr Twips kSTAT{30, 915, 5760, 345};
inline constexpr Twips kProgress{0, 1185, 5790, 285};
inline constexpr int kClientWidth = 5775;
inline constexpr int kClientHeight = 1470;

}  // namespace nestmend::layout
