// The two pages are laid out twice: by the Qt face in code and by the
// Windows face's dialog templates (src/win32/res/brenvik.rc). This test
// reads the templates and holds each Qt page to them: the page's size and
// every control both faces name, in the page font's dialog units.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "qt/dialog_furniture.h"
#include "qt/gui_world.h"
#include "qt/progress_page.h"
#include "qt/setup_page.h"
#include "run/run_engine.h"

namespace brenvik::test {

namespace {

// A dialog template: its size and each control's place, by control id.
struct Template {
  QSize size;
  std::map<std::string, QRect> controls;  // x, y, width, height in dialog units
};

// The fields of a statement, split at the commas outside quotes.
std::vector<std::string> Fields(const std::string& statement) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (const char c : statement) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A control statement's id (IDC_..., IDOK, IDCANCEL) and its last four
// whole numbers, which are its place and size in every statement form.
void AddControl(const std::string& statement, Template& dialog) {
  static const std::regex kId("^(IDC_\\w+|IDOK|IDCANCEL)$");
  static const std::regex kNumber("^\\s*(\\d+)\\s*$");
  std::string id;
  std::vector<int> numbers;
  for (const std::string& field : Fields(statement)) {
    std::istringstream words(field);
    std::string word;
    std::string last;
    while (words >> word) last = word;
    if (id.empty() && std::regex_match(last, kId)) id = last;
    std::smatch number;
    if (std::regex_match(field, number, kNumber)) numbers.push_back(std::stoi(number[1]));
  }
  if (id.empty() || id == "IDC_STATIC" || numbers.size() < 4) return;
  const size_t n = numbers.size();
  dialog.controls[id] = QRect(numbers[n - 4], numbers[n - 3], numbers[n - 2], numbers[n - 1]);
}

Template ReadTemplate(const std::string& name) {
  std::ifstream file(std::string(BRENVIK_SOURCE_DIR) + "/src/win32/res/brenvik.rc");
  Template dialog;
  std::string line;
  const std::regex header("^" + name + " DIALOGEX \\d+, \\d+, (\\d+), (\\d+)");
  std::smatch size;
  while (std::getline(file, line) && !std::regex_search(line, size, header)) {
  }
  if (size.empty()) return dialog;
  dialog.size = QSize(std::stoi(size[1]), std::stoi(size[2]));
  while (std::getline(file, line) && line != "BEGIN") {
  }
  std::string statement;
  while (std::getline(file, line) && line != "END") {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line.compare(start, 2, "//") == 0) continue;
    if (start <= 2) {  // a new statement; deeper lines continue the last one
      AddControl(statement, dialog);
      statement.clear();
    }
    statement += " " + line.substr(start);
  }
  AddControl(statement, dialog);
  return dialog;
}

// Every control of `shown` sits where the template puts it.
void Compare(QWidget& page, const Template& dialog, const std::map<std::string, QWidget*>& shown) {
  const DialogUnits units(page.font());
  QCOMPARE(page.size(), units.Size(dialog.size.width(), dialog.size.height()));
  for (const auto& [id, widget] : shown) {
    const auto place = dialog.controls.find(id);
    QVERIFY2(place != dialog.controls.end(), qPrintable(QString::fromStdString(id)));
    const QRect& rect = place->second;
    QVERIFY2(widget->geometry() == units.Rect(rect.x(), rect.y(), rect.width(), rect.height()),
             qPrintable(QString::fromStdString(id)));
  }
}

}  // namespace

class PageGeometryTest : public QObject {
  Q_OBJECT

 private slots:
  void TemplatesAreRead() {
    const Template setup = ReadTemplate("IDD_SETUP_PAGE");
    QCOMPARE(setup.size, QSize(321, 183));
    QCOMPARE(setup.controls.at("IDC_LOCATION_FIELD"), QRect(85, 92, 204, 13));
    QCOMPARE(setup.controls.at("IDOK"), QRect(246, 162, 68, 14));
    const Template progress = ReadTemplate("IDD_PROGRESS_PAGE");
    QCOMPARE(progress.controls.at("IDC_JOB_TABLE"), QRect(78, 50, 236, 76));
    QCOMPARE(progress.controls.at("IDC_PROGRESS_BAR"), QRect(78, 144, 236, 11));
  }

  void SetupPageFollowsItsTemplate() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    Session& session = world.MakeSession();
    session.InitialiseSetup();
    SetupPage page(session.Setup(), world.process.transfer_callback, world.prompt,
                   [](const Handover&) { return int(QDialog::Rejected); });
    page.show();
    Compare(page, ReadTemplate("IDD_SETUP_PAGE"),
            {{"IDC_SETUP_INFO", page.InfoText()},
             {"IDC_LOCATION_FIELD", page.LocationField()},
             {"IDC_BROWSE_BUTTON", page.BrowseButton()},
             {"IDC_INSTALL_BOX", page.InstallBox()},
             {"IDCANCEL", page.CancelButton()},
             {"IDOK", page.NextButton()}});
    QTRY_VERIFY_WITH_TIMEOUT(page.CancelButton()->isEnabled(), 10000);
    page.reject();
  }

  void ProgressPageFollowsItsTemplate() {
    GuiWorld world;
    world.release.Add("Setup.ini", "[setup]\n");
    world.WriteCatalogue();
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder(), false});
    ProgressPage page(*run, world.prompt);
    page.show();
    Compare(page, ReadTemplate("IDD_PROGRESS_PAGE"),
            {{"IDC_LOCATION_LINE", page.LocationLine()},
             {"IDC_JOB_TABLE", page.List()},
             {"IDC_STATUS_LINE", page.StatusLine()},
             {"IDC_PROGRESS_BAR", page.ProgressBar()},
             {"IDCANCEL", page.CancelButton()}});
    QTRY_COMPARE_WITH_TIMEOUT(page.StatusLine()->text(), QString("All Done."), 10000);
    page.reject();
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::PageGeometryTest)
#include "page_geometry_test.moc"
