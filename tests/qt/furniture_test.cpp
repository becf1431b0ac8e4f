// The shared furniture: dialog units, the About entry and box, tooltips, and
// the Qt prompt asked from a worker thread.

#include <QAction>
#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "catalogue/speed_limit_file.h"
#include "config/session_config.h"
#include "qt/about_box.h"
#include "qt/dialog_furniture.h"
#include "qt/gui_world.h"
#include "qt/qt_prompt.h"

namespace brenvik::test {

class FurnitureTest : public QObject {
  Q_OBJECT

 private slots:
  void DialogUnitsMapTemplatesToPixels() {
    // The classic 8-point dialog font has base units of 6 x 13 pixels.
    const DialogUnits classic(6, 13);
    QCOMPARE(classic.Size(321, 183), QSize(482, 297));
    QCOMPARE(classic.Rect(246, 162, 68, 14), QRect(369, 263, 102, 23));
    // Edges are converted, not sizes: side by side controls stay flush.
    QCOMPARE(classic.Rect(78, 80, 1, 1).right() + 1, classic.Rect(79, 80, 1, 1).left());
  }

  // The window menu's speed limit: it shows the limit set, says so when the
  // answer is no limit and asks again, and the limit given is applied to the
  // session and kept for later runs.
  void SpeedLimitEntryAppliesAndKeepsALimitAndRefusesWhatIsNone() {
    GuiWorld world;
    SessionConfig config = world.Config();
    config.speed_limit_file = world.work.path() / "brenvik-settings.ini";
    Session& session = world.MakeSession(config);
    QDialog page;
    QAction* entry = AddSpeedLimitEntry(page, session, world.prompt);
    QCOMPARE(entry->text(), QString::fromUtf8("Limit download speed\u2026"));
    QVERIFY(page.actions().contains(entry));
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    QStringList offered;
    const QStringList answers{"fast", "2M"};
    std::function<void()> answer = [&] {
      auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) {
        QTimer::singleShot(10, this, answer);
        return;
      }
      offered << dialog->textValue();
      dialog->setTextValue(answers[offered.size() - 1]);
      dialog->accept();
      if (offered.size() < answers.size()) QTimer::singleShot(10, this, answer);
    };
    QTimer::singleShot(0, this, answer);
    entry->trigger();

    QCOMPARE(offered, (QStringList{"0", "fast"}));
    QCOMPARE(world.prompt.Texts().size(), size_t{1});
    QVERIFY(world.prompt.Texts()[0].find("\"fast\" is no speed limit") != std::string::npos);
    QCOMPARE(session.SpeedLimit(), uint64_t{2} << 20);
    QCOMPARE(LoadSpeedLimit(config.speed_limit_file), std::optional<uint64_t>(uint64_t{2} << 20));
  }

  void AboutEntryOpensTheAboutBox() {
    QDialog page;
    QAction* about = AddAboutEntry(page);
    QCOMPARE(about->text(), QString("&About Brenvik..."));
    QCOMPARE(about->shortcut(), QKeySequence(Qt::Key_F1));
    QVERIFY(page.actions().contains(about));
    QCOMPARE(page.contextMenuPolicy(), Qt::ActionsContextMenu);
    QVERIFY(!page.windowIcon().isNull());
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));

    QString caption;
    QStringList lines;
    bool closed_by_ok = false;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<AboutBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      caption = box->windowTitle();
      for (QLabel* label : box->findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) lines << label->text();
      }
      QVERIFY(box->OkButton()->isDefault());
      box->OkButton()->click();
      closed_by_ok = box->result() == QDialog::Accepted;
    });
    QTest::keyClick(&page, Qt::Key_F1);
    QCOMPARE(caption, QString("About Brenvik"));
    QVERIFY(lines.contains("Quellmoor Tessivane Brenvik Version 1.1"));
    // The version line and the maker's notice, and without a publisher key
    // built in the line saying that catalogues are not signature-checked.
    if (*kBuiltInPublisherKey == '\0') {
      QVERIFY(lines.contains(kAboutUnsignedNotice));
      QCOMPARE(lines.size(), 3);
    } else {
      QCOMPARE(lines.size(), 2);
    }
    QVERIFY(closed_by_ok);
  }

  // A 9-point font is 12 pixels high at 96 DPI and 18 at 144 DPI: at both,
  // every line of the About box is shown whole (wrapped where it must be),
  // inside the box and clear of the OK button and of the other lines.
  void AboutBoxShowsEveryLineWholeAt96And144Dpi() {
    const QFont original = QApplication::font();
    for (const int pixels : {12, 18}) {
      QFont font = original;
      font.setPixelSize(pixels);
      QApplication::setFont(font);
      AboutBox box;
      QList<QRect> placed;
      for (QLabel* label : box.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 100000),
                                                               Qt::TextWordWrap, label->text());
        QVERIFY2(needed.width() <= label->width() && needed.height() <= label->height(),
                 qPrintable(QString("%1 px: \"%2\" is cut").arg(pixels).arg(label->text())));
        QVERIFY(box.rect().contains(label->geometry()));
        QVERIFY(!label->geometry().intersects(box.OkButton()->geometry()));
        for (const QRect& other : placed) QVERIFY(!label->geometry().intersects(other));
        placed << label->geometry();
      }
      QCOMPARE(placed.size(), *kBuiltInPublisherKey == '\0' ? 3 : 2);
    }
    QApplication::setFont(original);
  }

  void TooltipsNeedEveryControl() {
    QDialog page;
    auto* field = new QLineEdit(&page);
    auto* button = new QPushButton(&page);

    ScriptedPrompt prompt;
    QVERIFY(AddTooltips(&page, {{field, "field tip"}, {button, "button tip"}}, prompt));
    QCOMPARE(field->toolTip(), QString("field tip"));
    QCOMPARE(button->toolTip(), QString("button tip"));
    QCOMPARE(prompt.Count(), size_t{0});

    auto* other = new QPushButton(&page);
    QVERIFY(!AddTooltips(&page, {{other, "other tip"}, {nullptr, "missing"}}, prompt));
    QCOMPARE(prompt.Texts(), std::vector<std::string>{"Couldn't create tooltip!"});
    QCOMPARE(prompt.Asked().front().buttons, PromptButtons::kOk);
    QVERIFY(other->toolTip().isEmpty());  // the page goes on without tooltips
  }

  // A worker's question is a message box on the GUI thread; the worker
  // waits for the answer while the GUI thread only keeps processing events,
  // as the abort wait does.
  void WorkerQuestionsAreMessageBoxesOnTheGuiThread() {
    QtPrompt prompt;
    MessageBoxAnswerer answerer({QMessageBox::Retry, QMessageBox::Ok});
    std::atomic<bool> done{false};
    PromptAnswer first = PromptAnswer::kOk;
    PromptAnswer second = PromptAnswer::kCancel;
    std::thread worker([&] {
      first =
          prompt.Ask("Couldn't download \"x\".", PromptButtons::kRetryCancel, PromptIcon::kStop);
      second = prompt.Ask("Done?", PromptButtons::kOk, PromptIcon::kNone);
      done = true;
    });
    while (!done) {
      QCoreApplication::processEvents();
      QThread::msleep(5);
    }
    worker.join();
    QCOMPARE(first, PromptAnswer::kRetry);
    QCOMPARE(second, PromptAnswer::kOk);
    QCOMPARE(answerer.Boxes().size(), size_t{2});
    const auto& retry = answerer.Boxes()[0];
    QCOMPARE(retry.title, QString("Brenvik"));
    QCOMPARE(retry.text, QString("Couldn't download \"x\"."));
    QCOMPARE(retry.buttons, QMessageBox::Retry | QMessageBox::Cancel);
    QCOMPARE(retry.icon, QMessageBox::Critical);
    const auto& ok = answerer.Boxes()[1];
    QCOMPARE(ok.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(ok.icon, QMessageBox::NoIcon);
  }

  void QuestionsOnTheGuiThreadAreAskedDirectly() {
    QtPrompt prompt;
    MessageBoxAnswerer answerer({QMessageBox::Cancel});
    QCOMPARE(prompt.Ask("Line one\nline two", PromptButtons::kRetryCancel, PromptIcon::kNone),
             PromptAnswer::kCancel);
    QCOMPARE(answerer.Texts(), QStringList{"Line one\nline two"});
  }
};

}  // namespace brenvik::test

QTEST_MAIN(brenvik::test::FurnitureTest)
#include "furniture_test.moc"
