#include "app/LVMenus.h"

#include "app/LVCommand.h"
#include "app/LVHelp.h"
#include "core/database.h"
#include "core/status.h"
#include "graphics/GDisplaySize.h"
#include "graphics/GImage.h"
#include "graphics/GSpyGlass.h"
#include "platform/Platform.h"
#include "ui/LVMenus.h"
#include "ui/WDialogs.h"
#include "ui/WWindow.h"

namespace {

LVMenuItem Item(int id, const char* label, const char* command, int value = 0,
                const char* shortcut = "", bool redraw = true) {
  LVMenuItem item;
  item.id = id;
  item.label = label;
  item.command = command;
  item.value = value;
  item.shortcut = shortcut;
  item.redraw = redraw;
  return item;
}

LVMenuItem FileItem(int id, const char* label, const char* command, const char* shortcut = "",
                    bool redraw = false) {
  LVMenuItem item = Item(id, label, command, 0, shortcut, redraw);
  item.askFile = true;
  return item;
}

LVMenuItem Check(LVMenuItem item) {
  item.checkable = true;
  return item;
}

LVMenuItem Separator() { return LVMenuItem{}; }

std::vector<LVMenu> BuildTable() {
  std::vector<LVMenu> table;
  table.push_back({"&File",
                   {FileItem(100, "&Open", "Open_File", "Ctrl+O", true),
                    FileItem(101, "&Save", "Save_File", "Ctrl+S"),
                    FileItem(102, "&Save As", "Save_File", "Ctrl+A"), Separator(),
                    FileItem(103, "Save as &CBF", "Save_CBF"),
                    FileItem(104, "Save as C&hiplot", "Save_Chiplot"),
                    FileItem(105, "Save Display as &JPEG", "Save_JPEG"), Separator(),
                    FileItem(107, "Load PONI &Geometry", "Load_PONI", "", true),
                    FileItem(108, "Save PONI G&eometry", "Save_PONI"), Separator(),
                    FileItem(109, "Load &Dark Image", "Load_Dark"),
                    FileItem(110, "Load F&lat-Field Image", "Load_Flat"), Separator(),
                    Item(106, "&Print", "Print_Data", 0, "Ctrl+P"), Separator(),
                    Item(119, "E&xit", "", 0, "Ctrl+X")}});

  LVMenu display{"&Display", {}};
  display.items = {Item(120, "&Refresh Display", "", 0, "Ctrl+R"), Separator(),
                   Check(Item(121, "&Linear Scaling", "")),
                   Check(Item(122, "&Logarithmic Scaling", "")),
                   Item(123, "Log Scale &Minimum", "Set_Log_Minimum"), Separator(),
                   Check(Item(150, "&Automatic Full Range: Full", "", 0, "F")),
                   Check(Item(151, "Automatic &Weak Peak: Full", "", 0, "W")),
                   Check(Item(152, "Automatic Maximum", "")),
                   Check(Item(153, "Automatic Minimum", "")),
                   Check(Item(154, "&Fixed Range", "")),
                   Check(Item(160, "Automatic &Percentiles: 0.5 - 99.5 %", "")),
                   Item(155, "&Set Minimum / Maximum", ""),
                   Item(156, "Fix; Decrease Minimum", ""),
                   Item(157, "Fix; Increase Minimum", ""),
                   Item(158, "Fix; Decrease Maximum", ""),
                   Item(159, "Fix; Increase Maximum", ""), Separator()};
  static const char* const kSizes[15] = {"Reduce 8",   "Reduce 7",   "Reduce 6",   "Reduce 5",
                                         "Reduce 4",   "Reduce 3",   "&Reduce 2",  "Magnify &1",
                                         "Magnify &2", "Magnify &3", "Magnify &4", "Magnify &5",
                                         "Magnify &6", "Magnify &7", "Magnify &8"};
  for (int id = 130; id <= 144; ++id) {
    display.items.push_back(Check(Item(id, kSizes[id - 130], "Set_Magnification",
                                       id >= 137 ? id - 136 : id - 138)));
  }
  display.items.push_back(Separator());
  static const char* const kTables[11] = {
      "&Black-Purple-White LUT", "Blue-&Yellow-Red LUT", "&Colour Wheel LUT",
      "Contour style LUT",       "&Geographical LUT",    "Grey &Scale",
      "&Hotspots LUT",           "&Inverse Grey Scale",  "&Psychological LUT",
      "&Repeating LUT",          "&Temperature Scale"};
  static const char* const kKeys[11] = {"F1", "F2", "F3", "F4", "F5", "F6",
                                        "F7", "F8", "F9", "F10", "F11"};
  for (int id = 180; id <= 190; ++id) {
    display.items.push_back(Check(Item(id, kTables[id - 180], "LUT_Set", id + 521, kKeys[id - 180])));
  }
  display.items.push_back(Item(200, "Rotate Colour Table +1", "LUT_Rotate", 1));
  display.items.push_back(Item(201, "Rotate Colour Table -1", "LUT_Rotate", -1));
  display.items.push_back(Separator());
  display.items.push_back(Item(220, "Un-zoom", "Unzoom", 0, "Ctrl+U"));
  display.items.push_back(Item(221, "Zoom ROI", "Zoom_ROI", 0, "Ctrl+Z"));
  display.items.push_back(Check(Item(250, "Spy-glass: On/Off", "")));
  table.push_back(display);

  table.push_back({"&Masking",
                   {Item(300, "Mask &Threshold", "Mask_Threshold"),
                    Item(301, "Mask &Significant", "Mask_Significant"), Separator(),
                    Item(312, "Mask &Circles", "Mask_Circles"),
                    Item(313, "Mask &Polygon", "Mask_Polygon"),
                    Item(314, "Clear Polygon Mask", "Mask_Clear_Polygon"), Separator(),
                    Item(302, "&Erode Mask", "Mask_Erode"),
                    Item(303, "Erode/Fill Mask (3)", "Mask_Erode/Fill", 3),
                    Item(304, "Erode/Fill Mask (5)", "Mask_Erode/Fill", 5),
                    Item(305, "&Grow Mask", "Mask_Grow"),
                    Item(306, "&Invert Mask", "Mask_Invert"),
                    Item(307, "Clear Mask in &ROI", "Mask_Clear_ROI"),
                    Item(308, "Clear &Mask", "Mask_Clear", 0, "", false),
                    Check(Item(311, "&Disable Mask", "Mask_Disable")),
                    Check(Item(315, "Mask Detector &Gaps on Opening", "Mask_Detector_Marks")),
                    Separator(),
                    Item(309, "Sa&ve Mask", "Mask_Save", 0, "", false),
                    Item(310, "&Load Mask", "Mask_Load")}});

  table.push_back({"&Beam Centre / Geometry",
                   {Item(400, "Beam Centre: &Keyboard", "Beam_Centre", 854, "", false),
                    Item(401, "Beam Centre: &1 Coordinate", "Beam_Centre", 852, "", false),
                    Item(402, "Beam Centre: &2 Coordinates", "Beam_Centre", 853, "", false),
                    Separator(),
                    Item(403, "Fit &Circle", "Beam_Fit_Circle", 0, "", false),
                    Item(404, "Fit &Ellipse", "Beam_Fit_Ellipse", 0, "", false),
                    Item(405, "Fit &Powder Rings", "Beam_Fit_Powder", 0, "", false),
                    Item(406, "Fit 2-D &Gaussian", "Beam_Fit_Gaussian", 0, "", false),
                    Separator(),
                    Item(420, "Detector &Tilt", "Set_Detector_Tilt", 0, "", false),
                    Item(421, "Detector &Rotation: Keyboard", "Detector_Rotation", 854, "", false),
                    Item(422, "Detector Rotation: 1 Coordinate", "Detector_Rotation", 852, "",
                         false),
                    Item(423, "&Pixel Sizes", "Set_Pixel_Sizes", 0, "", false),
                    Item(424, "&Wavelength", "Set_Wavelength", 0, "", false),
                    Item(425, "&Energy", "Set_Energy", 0, "", false),
                    Item(426, "&Distance", "Set_Distance", 0, "", false),
                    Item(427, "P&olarisation", "Set_Polarisation", 0, "", false)}});

  static const char* const kCalibrants[9] = {
      "&Alumina (Al2O3)",       "&Calcite (Calcium Carbonate)", "&Cerium Dioxide",
      "&Lanthanum Hexaboride", "&Sodium Chloride",             "&Silicon",
      "&Quartz (Silicon Dioxide)", "&User specified from file", "&Paraffin Wax"};
  LVMenu calibrants{"&Calibrants", {}};
  for (int id = 440; id <= 448; ++id) {
    calibrants.items.push_back(Item(id, kCalibrants[id - 440], "Fit_Calibrant", id - 140, "", false));
  }
  calibrants.items.push_back(Separator());
  // The same fit with no clicks: the calibrant is asked for, the rings found in the image.
  calibrants.items.push_back(
      Item(450, "Fit Calibrant &Automatically...", "Fit_Calibrant_Auto", 0, "", false));
  calibrants.items.push_back(Separator());
  calibrants.items.push_back(Check(Item(449, "Show Calibrant &Rings", "Calibrant_Rings")));
  table.push_back(calibrants);

  table.push_back({"&ROI", {Item(500, "&Set ROI", "ROI_Set"), Item(501, "&Full ROI", "ROI_Full")}});

  table.push_back({"&Data",
                   {Item(510, "&Copy Data-Set", "Data_Copy", 0, "", false),
                    Item(511, "C&rop to ROI", "Data_Crop"),
                    Item(512, "Rebin 2 x 2", "Data_Rebin", 2),
                    Item(513, "&Rebin", "Data_Rebin", 0), Separator(),
                    Item(570, "Set Constant", "Constant_Set"),
                    Item(571, "Add Constant", "Constant_Add"),
                    Item(572, "Subtract Constant", "Constant_Subtract"),
                    Item(573, "Multiply by Constant", "Constant_Multiply"),
                    Item(574, "Divide by Constant", "Constant_Divide"), Separator(),
                    Item(575, "Add Data-Sets", "Datasets_Add"),
                    Item(576, "Subtract Data-Sets", "Datasets_Subtract"),
                    Item(577, "Multiply Data-Sets", "Datasets_Multiply"),
                    Item(578, "Divide Data-Sets", "Datasets_Divide"), Separator(),
                    Item(579, "Subtract &Dark Image", "Subtract_Dark"),
                    Item(580, "Divide by &Flat-Field", "Divide_Flat"),
                    Item(581, "No Dark/Flat for File Series", "Dark_Flat_Off", 0, "", false),
                    Separator(),
                    Item(630, "Flip &Left-Right", "Data_FlipLR"),
                    Item(631, "Flip &Top-Bottom", "Data_FlipTB"),
                    Item(632, "&Transpose", "Data_Transpose")}});

  table.push_back({"&Filters",
                   {Item(530, "&Top-Hat Filter", "Filter_TopHat"),
                    Item(531, "&Median Filter", "Filter_Median"),
                    Item(532, "&Rolling Ball Filter", "Filter_Rolling_Ball"),
                    Item(533, "&Balloon Filter", "Filter_Balloon"),
                    Item(534, "&Sobel Filter", "Filter_Sobel"), Separator(),
                    Item(610, "Remove 1-D &Peaks", "Data_Remove_Peaks"),
                    Item(611, "Fit &Polynomial Background", "Fit_Polynomial"),
                    Item(612, "Fit &Elliptical Background", "Fit_Elliptical")}});

  table.push_back({"&Integration",
                   {Item(550, "2-Theta Scan Integration", "Integrate_2Theta"),
                    Item(553, "&Q-Space Scan Integration", "Integrate_QSpace"),
                    Item(554, "&D-Spacing Scan Integration", "Integrate_DSpacings"),
                    Item(551, "&Radial Distance Integration", "Integrate_Distance"),
                    Item(555, "&Projection", "Projection"), Separator(),
                    Item(556, "Azimuthal &Sector Integration", "Integrate_Sector"),
                    Item(557, "2-D Ca&ke Integration", "Integrate_Cake"),
                    Check(Item(558, "Poisson &Errors", "Poisson_Errors")), Separator(),
                    Item(552, "Add &Circular Function", "Circular_Function")}});

  table.push_back({"Mo&del",
                   {Item(590, "&Define Model", "Model_Define"),
                    Item(591, "&Optimise Model", "Model_Optimise")}});

  table.push_back({"&Labels",
                   {Item(690, "Change &Title", "Change_Title"),
                    Item(691, "Change &X-Axis Label", "Change_XLabel"),
                    Item(692, "Change &Y-Axis Label", "Change_YLabel"),
                    Item(693, "Change &Z-Axis Label", "Change_ZLabel")}});

  LVMenu stores{"Data &Stores", {}};
  for (int id = 700; id <= 719; ++id) {
    // The store chosen is the one shown: the picture follows the commands' new target.
    stores.items.push_back(Check(Item(id, "store", "Set_Main_Dataset", id - 700)));
  }
  stores.items.push_back(Separator());
  stores.items.push_back(Item(790, "&Change data-set name", "Data_Change_Name", 0, "", false));
  table.push_back(stores);

  table.push_back({"Si&mulation",
                   {Item(800, "&Simulate Data", "Simulate_Data"),
                    Item(801, "Add &Gaussian", "Add_Gaussian"),
                    Item(802, "Add &Poisson Noise", "Add_Poisson_Distribution"),
                    Item(803, "&Fit Gaussian", "Fit_Gaussian"),
                    Item(804, "Add Polar Gaussian", "Add_Polar_Gaussian"),
                    Item(806, "Simulate &Powder Pattern", "Simulate_Powder"),
                    Item(805, "&Test Timing", "Test_Timing")}});

  table.push_back({"&Information",
                   {Item(900, "&Data Information", "Data_Information", 0, "", false),
                    Item(901, "D&istance", "Distance", 0, "", false)}});

  table.push_back({"File Se&ries",
                   {Item(950, "&Integrate Series", "FS_Integrate"),
                    Item(951, "&Composite Image", "FS_Composite"),
                    Item(952, "&Projection Series", "FS_Projection"),
                    Item(953, "Fit 2-D &Gaussian Series", "FS_Fit_2D_Gaussian"),
                    Item(954, "&Movie", "FS_Movie"),
                    Item(955, "Input 1-D &Series", "FS_Input_1D")}});

  table.push_back({"&Help", {Item(1001, "&Quick Start", ""), Item(1000, "&About", "")}});
  return table;
}

// Panning keys and the numeric pad have no menu item.
const std::vector<PShortcutSpec> kShortcuts = {
    {"Left", 1100},   {"Right", 1101},  {"Up", 1102},      {"Down", 1103},
    {"Num+4", 1104},  {"Num+6", 1105},  {"Num+8", 1106},   {"Num+2", 1107},
    {"Num+1", 156},   {"Num+3", 157},   {"Num+7", 158},    {"Num+9", 159},
    {"Num++", 200},   {"Num+-", 201},   {"Alt+/", 1000},   {"Alt+?", 1000},
};

// Ids handled here rather than by a plain command.
bool HandledHere(int id) {
  return id == 119 || id == 120 || id == 121 || id == 122 || (id >= 150 && id <= 161) ||
         id == 250 || id == 1000 || id == 1001 || (id >= 1100 && id <= 1107);
}

int gRangeMethods[12] = {222, 223, 225, 224, 226, 228, 230, 229, 232, 231, 240, 234};

void Redraw() {
  int status = kStatusGood;
  WDrawWindow(status);
}

}  // namespace

const std::vector<LVMenu>& LVMenuTable() {
  static const std::vector<LVMenu> table = BuildTable();
  return table;
}

const LVMenuItem* LVFindMenuItem(int id) {
  for (const auto& menu : LVMenuTable()) {
    for (const auto& item : menu.items) {
      if (item.id == id && *item.label) return &item;
    }
  }
  return nullptr;
}

std::vector<PMenuSpec> LVMenuSpecs() {
  std::vector<PMenuSpec> specs;
  for (const auto& menu : LVMenuTable()) {
    PMenuSpec built;
    built.title = menu.title;
    for (const auto& item : menu.items) {
      built.items.push_back({item.id, item.label, item.shortcut, item.checkable});
    }
    specs.push_back(built);
  }
  return specs;
}

std::vector<PShortcutSpec> LVShortcutSpecs() { return kShortcuts; }

std::vector<std::pair<std::string, std::string>> LVMenuCommandLabels() {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& menu : LVMenuTable()) {
    for (const auto& item : menu.items) {
      if (*item.label && *item.command) pairs.emplace_back(item.command, item.label);
    }
  }
  return pairs;
}

std::vector<int> LVUnavailableMenuIds() {
  std::vector<int> ids;
  for (const auto& menu : LVMenuTable()) {
    for (const auto& item : menu.items) {
      if (!*item.label || HandledHere(item.id)) continue;
      if (*item.command && !LVCommandRegistered(item.command)) ids.push_back(item.id);
    }
  }
  return ids;
}

void LVMenuCommand(int id) {
  int status = kStatusGood;
  PBackend& backend = PCurrentBackend();
  switch (id) {
    case 119: {
      int yes = kTrue;
      if (WGetBoolean({"CONFIRM REQUEST TO EXIT LUMIVANE", kTrue, yes, status}) && yes) {
        if (auto* qt = dynamic_cast<PQtBackend*>(&backend)) qt->CloseMainWindow(true);
      }
      return;
    }
    case 120: Redraw(); return;
    case 121:
    case 122: LVCommandLinearity(id == 121 ? 176 : 177, status); IStatusReport(status); return;
    case 250:
      if (LVToggleSpyGlass(status)) WDrawWindow(status);
      return;
    case 1000: LVShowAbout(); return;
    case 1001: LVShowQuickStart(); return;
    default: break;
  }
  if (id >= 150 && id <= 161) {
    LVCommandSetLUT(gRangeMethods[id - 150], status);
    IStatusReport(status);
    return;
  }
  if (id >= 1100 && id <= 1107) {
    CommandEvent event;
    event.value = 876 + (id - 1100);
    if (LVCommand("Move_Display", event, status)) Redraw();
    return;
  }

  const LVMenuItem* item = LVFindMenuItem(id);
  if (!item || !*item->command) return;
  if (!LVCommandRegistered(item->command)) return;  // greyed anyway
  CommandEvent event;
  event.value = item->value;
  if (item->askFile) event.text = "?";

  if (id == 300 || id == 301) LVSetMaskCommands(true, status);
  if (id == 308) LVSetMaskCommands(false, status);
  const int result = LVCommand(item->command, event, status);

  if (id == 100 && !result) {
    INote("LVCommand: Open_File failed", status);
    return;
  }
  if (id == 800 && !result) IWarning("LVCommand: Simulate_Data failed", status);
  if (!result) return;
  if ((id == 310 || id == 312 || id == 313)) LVSetMaskCommands(true, status);
  if (id >= 130 && id <= 144) {
    backend.SetMenuRadio(130, 144, id);
    ISetDBIntItem("Display_Magnification", item->value, status);
  }
  if (id >= 180 && id <= 190) backend.SetMenuRadio(180, 190, id);
  if (item->redraw) Redraw();
}
