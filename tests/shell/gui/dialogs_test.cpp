// Help look-up, the link control and the two information dialogs.
#include "gui_test_support.h"

#include "shell/app/about_dialog.h"
#include "shell/app/link_static.h"
#include "shell/app/opportunities_dialog.h"
#include "shell/common/help_viewer.h"
#include "shell/common/picture_button.h"
#include "shell/common/resource_picture.h"
#include "shell/common/ui_seams.h"

#include <QEnterEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

using namespace quoralith;
using namespace quoralith::test;

namespace {

const QString HELP_CONTENTS = QUORALITH_SOURCE_DIR "/resources/help/Qrlith32.html";

void hover(QWidget* widget, bool inside) {
    if (inside) {
        QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), widget->mapToGlobal(QPointF(2, 2)));
        QCoreApplication::sendEvent(widget, &enter);
    } else {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(widget, &leave);
    }
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        MessageBox::setTestMode(true);
        MessageBox::clearShown();
        set_url_launcher([](const QUrl&) { return true; });
    }
    void cleanup() { set_url_launcher(nullptr); }

    void everySheetKeywordHasAHelpTopic() {
        const char* keywords[] = {"Play  Button",
                                  "Create Delta/File/General",
                                  "Create Delta/Directory/General",
                                  "Creating Delta File from existing Base and Updated Archived Directories",
                                  "Create Delta/File/Delta Algorithm",
                                  "Create Delta/Directory/Delta Algorithm",
                                  "Create Delta/Directory/Advanced",
                                  "Create Delta/Archived Directory/Name Matching",
                                  "Restore/File/General",
                                  "Restore/Directory/General",
                                  "Restoring from Archived Directories and Delta Files",
                                  "Restore/File/Advanced",
                                  "Restore/Directory/Advanced"};
        for (const char* keyword : keywords) {
            QString page = help_topic_for_keyword(HELP_CONTENTS, keyword);
            QVERIFY2(!page.isEmpty(), keyword);
            QVERIFY(QFileInfo(page).isReadable());
        }
        // Topics are told apart: the two General pages are different pages.
        QVERIFY(help_topic_for_keyword(HELP_CONTENTS, "Restore/File/General") !=
                help_topic_for_keyword(HELP_CONTENTS, "Create Delta/File/General"));
        QVERIFY(help_topic_for_keyword(HELP_CONTENTS, "No such topic").isEmpty());
        QCOMPARE(help_topic_for_keyword(HELP_CONTENTS, " restore/file/general "),
                 help_topic_for_keyword(HELP_CONTENTS, "Restore/File/General"));
    }

    void helpLinksAllLeadToShippedPages() {
        const QDir help(QFileInfo(HELP_CONTENTS).absolutePath());
        static const QRegularExpression href("href=\"([^\"#:]+)\"");
        for (const QString& name : help.entryList({"*.html"})) {
            QString text = QString::fromUtf8(read_file(help.filePath(name)));
            for (auto it = href.globalMatch(text); it.hasNext();) {
                QString target = it.next().captured(1);
                QVERIFY2(help.exists(target), qPrintable(name + " -> " + target));
            }
        }
    }

    void helpViewerShowsContentsAndTopicsAndSaysWhenTheFileIsMissing() {
        QVERIFY(show_help_contents(nullptr, HELP_CONTENTS));
        HelpViewer* viewer = HelpViewer::instance();
        QVERIFY(viewer->isVisible());
        QCOMPARE(viewer->current_page().toLocalFile(), QFileInfo(HELP_CONTENTS).absoluteFilePath());
        QVERIFY(viewer->browser()->toPlainText().contains("binary deltas"));

        QVERIFY(show_help_keyword(nullptr, HELP_CONTENTS, "Play  Button"));
        QVERIFY(viewer->current_page().toLocalFile().endsWith("history.html"));
        QVERIFY(!show_help_keyword(nullptr, HELP_CONTENTS, "Unknown words"));
        QVERIFY(viewer->current_page().toLocalFile().endsWith("Qrlith32.html"));
        QVERIFY(MessageBox::shown().empty());

        QVERIFY(!show_help_contents(nullptr, "/nonexistent/Qrlith32.html"));
        QCOMPARE(MessageBox::shownTexts(), QStringList({"Cannot find the help file /nonexistent/Qrlith32.html."}));
        viewer->close();
    }

    void linkColoursFollowHoverAndVisits() {
        QWidget parent;
        parent.resize(300, 100);
        CLinkStatic link(&parent);
        link.setGeometry(10, 10, 200, 40);
        link.set_address("http://www.quoralith.example/page");
        link.attach();
        // An empty item shows its address and shrinks to it.
        QCOMPARE(link.text(), QString("http://www.quoralith.example/page"));
        QCOMPARE(link.toolTip(), link.address());
        QCOMPARE(link.height(), link.fontMetrics().height());
        QVERIFY(link.font().underline());
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(255, 0, 255));

        hover(&link, true);
        QVERIFY(link.hovering());
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(0, 128, 255));
        hover(&link, false);
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(255, 0, 255));

        QUrl opened;
        set_url_launcher([&opened](const QUrl& url) {
            opened = url;
            return true;
        });
        parent.show();
        QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(3, 3));
        QCOMPARE(opened, QUrl("http://www.quoralith.example/page"));
        QVERIFY(link.visited());
        // Visited and unvisited links share one magenta.
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(255, 0, 255));
        QVERIFY(MessageBox::shown().empty());

        link.set_underline(false);
        QVERIFY(!link.font().underline());
    }

    void failedLaunchesAreExplainedFromTheTable() {
        QCOMPARE(link_error_message(26), QString("A sharing violation occurred. "));
        QCOMPARE(link_error_message(9), QString("Unknown Error (9) occurred."));
        QCOMPARE(link_error_message(31),
                 QString("There is no application associated\nwith the given filename extension."));
        report_link_error(26);
        QCOMPARE(MessageBox::shown().back().caption, QString("ZRV Maint"));
        QCOMPARE(MessageBox::shown().back().icon, MessageIcon::Warning);

        QTemporaryDir dir;
        QCOMPARE(open_url(dir.filePath("missing.txt"), SW_SHOW), LAUNCH_FILE_NOT_FOUND);
        QCOMPARE(open_url(dir.filePath("no/such/folder/file.txt"), SW_SHOW), LAUNCH_PATH_NOT_FOUND);
        QCOMPARE(open_url("", SW_SHOW), LAUNCH_FILE_NOT_FOUND);

        set_url_launcher([](const QUrl&) { return false; });
        QCOMPARE(open_url("mailto:someone@quoralith.example", SW_SHOW), LAUNCH_NO_ASSOCIATION);
        QWidget parent;
        CLinkStatic link("mailto:someone@quoralith.example", &parent);
        link.setGeometry(0, 0, 250, 20);
        link.attach();
        parent.show();
        MessageBox::clearShown();
        QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(2, 2));
        QVERIFY(!link.visited());
        QCOMPARE(MessageBox::shownTexts(), QStringList({link_error_message(LAUNCH_NO_ASSOCIATION)}));
    }

    void aboutBoxPlacesItsPictureBelowTheVersionText() {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QString("About Quoralith"));
        QVERIFY(about.version_edit()->toPlainText().startsWith("    Quoralith  Version 1.1"));
        QVERIFY(about.version_edit()->isReadOnly());
        QCOMPARE(about.picture_frame()->pictureId(), int(IDB_ABOUT));
        QCOMPARE(about.web_button()->text(), QString(WEB_ADDRESS));
        about.show();
        for (int width : {420, 511}) {
            about.setFixedWidth(width);
            QRect edit = about.version_edit()->geometry();
            QRect frame = about.picture_frame()->geometry();
            QCOMPARE(frame.size(), QSize(309, 139));
            QCOMPARE(frame.x(), (width - 309) / 2);
            QCOMPARE(frame.y(), edit.y() + edit.height() + edit.width() / 25);
        }
        // The web button opens the site, and a failure says nothing.
        QUrl opened;
        set_url_launcher([&opened](const QUrl& url) {
            opened = url;
            return false;
        });
        QTest::mouseClick(about.web_button(), Qt::LeftButton);
        QCOMPARE(opened, QUrl(WEB_ADDRESS));
        QVERIFY(MessageBox::shown().empty());
    }

    void opportunitiesColoursAndLinks() {
        QCOMPARE(opportunity_text_colour("Software Downloads"), QColor(128, 0, 128));
        QCOMPARE(opportunity_text_colour("R&D Results"), QColor(128, 0, 128));
        QCOMPARE(opportunity_text_colour(" Intra-Corporate "), QColor(0, 128, 128));
        QCOMPARE(opportunity_text_colour("Send your comments to:"), QColor(255, 0, 128));
        // One trailing blank more and the text is no longer on any list.
        QCOMPARE(opportunity_text_colour("Software Downloads "), QColor(64, 0, 255));
        QCOMPARE(opportunity_text_colour("Send your comments to: "), QColor(64, 0, 255));

        COpportunitiesDlg dialog;
        QCOMPARE(dialog.windowTitle(), QString("Countless Opportunities"));
        auto* example = dialog.findChild<QLabel*>("1055");
        QVERIFY(example);
        QCOMPARE(example->text(), QString("R&D Results"));
        QCOMPARE(example->palette().color(QPalette::WindowText), QColor(128, 0, 128));
        QCOMPARE(dialog.findChild<QLabel*>("1102")->palette().color(QPalette::WindowText), QColor(255, 0, 128));
        QCOMPARE(dialog.findChild<QLabel*>("1104")->palette().color(QPalette::WindowText), QColor(255, 0, 128));
        QCOMPARE(dialog.findChild<QLabel*>("1096")->palette().color(QPalette::WindowText), QColor(64, 0, 255));
        const QList<QGroupBox*> groups = dialog.findChildren<QGroupBox*>();
        QCOMPARE(groups.size(), 2);
        for (QGroupBox* group : groups)
            QCOMPARE(group->palette().color(QPalette::WindowText), QColor(0, 128, 128));
        QCOMPARE(dialog.link(1097)->toolTip(), QString("mailto:info@quoralith.example"));
        QCOMPARE(dialog.link(1099)->toolTip(), QString("mailto:feedback@quoralith.example"));
        QCOMPARE(dialog.link(1098)->toolTip(), QString(DOWNLOAD_PAGE_ADDRESS));
        for (int id : {1097, 1098, 1099}) {
            QVERIFY(dialog.link(id)->font().underline());
            QVERIFY(dialog.link(id)->address().endsWith(dialog.link(id)->text()));
            QCOMPARE(dialog.link(id)->palette().color(QPalette::WindowText), QColor(255, 0, 255));
        }
    }

    void pictureButtonsShowTheirStates() {
        PictureButton rocket("ROCKET64U", "ROCKET64D");
        QCOMPARE(rocket.sizeHint(), QSize(70, 70));
        QImage up = rocket.current_picture();
        rocket.setDown(true);
        QVERIFY(rocket.current_picture() != up);
        rocket.setDown(false);
        QCOMPARE(rocket.current_picture(), up);

        PictureButton record("VIDEOU", {}, "VIDEOX");
        QImage enabled = record.current_picture();
        record.setEnabled(false);
        QVERIFY(record.current_picture() != enabled);
        QCOMPARE(record.current_picture().size(), QSize(60, 59));
        // Without a pressed picture a pressed button keeps its normal look.
        record.setEnabled(true);
        record.setDown(true);
        QCOMPARE(record.current_picture(), enabled);
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
