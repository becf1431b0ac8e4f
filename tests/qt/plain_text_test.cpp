// Texts from the server, the catalogue and the settings file are shown in
// the window exactly as written: markup in a version, a folder or a message
// is never taken as rich text, so it cannot change what a page shows.

#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "qt/gui_world.h"
#include "qt/progress_page.h"
#include "qt/qt_prompt.h"
#include "qt/setup_page.h"
#include "run/run_engine.h"

namespace brenvik::test {

namespace {

// What `label` draws with its text taken in `format`; the label is left as
// it was.
QImage DrawnAs(QLabel& label, Qt::TextFormat format) {
  const Qt::TextFormat was = label.textFormat();
  label.setTextFormat(format);
  const QImage drawn = label.grab().toImage();
  label.setTextFormat(was);
  return drawn;
}

// True when `label` draws its markup as written: the picture of the plain
// text, which differs from the picture of the text taken as rich text.
bool ShowsMarkupAsWritten(QLabel& label) {
  const QImage shown = label.grab().toImage();
  return shown == DrawnAs(label, Qt::PlainText) && shown != DrawnAs(label, Qt::RichText);
}

}  // namespace

class PlainTextTest : public QObject {
  Q_OBJECT

 private slots:
  void TheCatalogueVersionIsShownAsWritten() {
    GuiWorld world;
    world.server.Serve("FileList.txt",
                       "2.5 <b>beta <img src=x>\n0\na.bin:0123456789abcdef0123456789abcdef:1\n");
    Session& session = world.MakeSession();
    session.InitialiseSetup();
    SetupPage page(session.Setup(), world.process.transfer_callback, world.prompt,
                   [](const Handover&) { return int(QDialog::Rejected); });
    page.show();
    QTRY_VERIFY_WITH_TIMEOUT(page.NextButton()->isEnabled(), 20000);
    QVERIFY(page.InfoText()->text().startsWith("Version: 2.5 <b>beta <img src=x>\nSize: 0 MB\n"));
    QVERIFY(ShowsMarkupAsWritten(*page.InfoText()));
  }

  void TheFolderIsShownAsWritten() {
    GuiWorld world;
    world.release.Add("<i>a</i>.cab", "abc");
    world.WriteCatalogue();
    const std::string folder = world.downloads.Folder() + "<b>cd</b>/";
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{folder, false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QVERIFY(page.LocationLine()->text().startsWith(
        QString::fromStdString("Download-location is \"" + folder + "\"")));
    QVERIFY(ShowsMarkupAsWritten(*page.LocationLine()));
    QCOMPARE(page.List()->model()->index(0, 0).data().toString(), QString("<i>a</i>.cab"));
    page.reject();
  }

  // A right-to-left override would make "invoice_<U+202E>fdp.exe" read as
  // "invoice_exe.pdf": such invisible characters are shown, not obeyed.
  void CharactersThatReorderTextAreShownInRowsAndQuestions() {
    GuiWorld world;
    world.release.Add(
        "invoice_\xE2\x80\xAE"
        "fdp.exe",
        "abc");
    world.WriteCatalogue();
    Session& session = world.MakeSession();
    const auto run = session.MakeRun(Handover{world.downloads.Folder() + "cd/", false});
    ProgressPage page(*run, world.prompt);
    page.show();
    QCOMPARE(page.List()->model()->index(0, 0).data().toString(),
             QString("invoice_\\u202Efdp.exe"));
    page.reject();

    QtPrompt prompt;
    QString shown;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      shown = box->text();
      box->escapeButton()->click();
    });
    poll.start(10);
    (void)prompt.Ask(
        "Couldn't download \"invoice_\xE2\x80\xAE"
        "fdp.exe\".",
        PromptButtons::kRetryCancel, PromptIcon::kNone);
    QCOMPARE(shown, QString("Couldn't download \"invoice_\\u202Efdp.exe\"."));
  }

  void MessageBoxesShowTheirTextAsWritten() {
    QtPrompt prompt;
    bool looked = false;
    bool as_written = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !box->isVisible()) return;
      auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
      looked = label != nullptr;
      as_written = looked && ShowsMarkupAsWritten(*label);
      box->escapeButton()->click();
    });
    poll.start(10);
    const PromptAnswer answer =
        prompt.Ask("Couldn't download \"http://127.0.0.1/<b>2.5</b>/<img src=x>.cab\".",
                   PromptButtons::kRetryCancel, PromptIcon::kNone);
    QCOMPARE(answer, PromptAnswer::kCancel);
    QVERIFY(looked);
    QVERIFY(as_written);
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::PlainTextTest)
#include "plain_text_test.moc"
