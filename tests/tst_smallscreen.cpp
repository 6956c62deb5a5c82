// A screen below 1024 x 768 ends the program with its message, before any window.
#include "app/StartupFlow.h"
#include "support/Widgets.h"

class SmallScreenTest : public QObject {
    Q_OBJECT

private slots:
    void refusesToStart()
    {
        TestFolder f;
        RecordingPrompter prompter;
        StartupFlow flow(prompter);
        QVERIFY(!flow.start());
        QVERIFY(flow.ended());
        QVERIFY(!flow.splash() || !flow.splash()->isVisible());
        QCOMPARE(prompter.texts(), QStringList{u"ATTENTION!\nA screen resolution of 1024x768 pixel is required for this application!"_s});
        QVERIFY(!flow.splash() || !flow.splash()->isWaiting()); // the options dialog never comes
        QVERIFY(flow.optionForm() == nullptr);
    }
};

LUMORA_WIDGETS_TEST_MAIN(SmallScreenTest, 1024, 700)
#include "tst_smallscreen.moc"
