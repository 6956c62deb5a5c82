#pragma once

// What the window tests share: the offscreen screen, recorded message boxes
// and one main().
#include "support/Station.h"
#include "ui/Prompts.h"

#include <QtWidgets> // every widget a window test looks into
#include <memory>
#include <source_location>

// Before the application object exists: the offscreen platform with a screen
// of the given size, described in a file of the temporary folder whose path
// is returned (none on a real display). The caller removes it once the
// application object exists: OffscreenApplication does both.
QString UseOffscreenScreen(int width, int height);
std::unique_ptr<QApplication> OffscreenApplication(int &argc, char **argv, int width, int height);

// Records the message boxes instead of showing them; questions get `answer`.
// Handed to what asks or tells the operator, as the application hands its own.
class RecordingPrompter : public Prompter {
public:
    struct Box {
        QString kind;
        QString title;
        QString text;
    };
    QList<Box> boxes;
    bool answer = true;

    void information(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("information"), title, text}); }
    void critical(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("critical"), title, text}); }
    bool question(QWidget *, const QString &text, const QString &title) override
    {
        boxes.append({QStringLiteral("question"), title, text});
        return answer;
    }
    bool confirm(QWidget *, const QString &text, const QString &title) override
    {
        boxes.append({QStringLiteral("confirm"), title, text});
        return answer;
    }
    void plain(QWidget *, const QString &text, const QString &title) override { boxes.append({QStringLiteral("plain"), title, text}); }
    QStringList texts() const
    {
        QStringList out;
        for (const Box &b : boxes)
            out << b.text;
        return out;
    }
};

// A form's control by its object name, as the operator's clicks reach it. A
// name the form does not hold (or a control of another type) ends the test
// with the name and the place that asked for it. Controls of a dialog the form
// owns (a helper dialog's OK) are not the form's own.
template <class T>
T *Child(const QObject &form, const QString &name, std::source_location at = std::source_location::current())
{
    QList<QObject *> found = form.findChildren<QObject *>(name);
    if (const auto *window = qobject_cast<const QWidget *>(&form))
        found.removeIf([window](QObject *o) {
            auto *w = qobject_cast<QWidget *>(o);
            return w && w->window() != window->window() && qobject_cast<QDialog *>(w->window());
        });
    T *control = found.size() == 1 ? qobject_cast<T *>(found.first()) : nullptr;
    if (!control)
        qFatal("%s:%u: %s has no single %s named \"%s\" (%lld of that name)", at.file_name(), at.line(), qPrintable(form.objectName()),
               T::staticMetaObject.className(), qPrintable(name), qlonglong(found.size()));
    return control;
}
template <class T>
T *Child(const QObject *form, const QString &name, std::source_location at = std::source_location::current())
{
    return Child<T>(*form, name, at);
}

// The texts of a column over the list's rows.
inline QStringList ColumnTexts(const QTreeWidget *list, int column = 0)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(column);
    return out;
}
inline QStringList ColumnTexts(const QAbstractItemModel *model, int column = 0)
{
    QStringList out;
    for (int i = 0; i < model->rowCount(); ++i)
        out << model->index(i, column).data().toString();
    return out;
}

// A widgets test on an offscreen screen of the given size; windows closing
// never end the application.
#define LUMORA_WIDGETS_TEST_MAIN(TestClass, width, height)                                                                        \
    int main(int argc, char **argv)                                                                                              \
    {                                                                                                                            \
        const auto app = OffscreenApplication(argc, argv, width, height);                                                        \
        app->setQuitOnLastWindowClosed(false);                                                                                   \
        TestClass t;                                                                                                             \
        return QTest::qExec(&t, argc, argv);                                                                                     \
    }

// Ticks every 50 ms on the interface thread while it lives and keeps the
// longest time between two ticks: how long the window could not repaint.
class TickGaps {
public:
    TickGaps()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(50);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            longest = std::max(longest, now - last_);
            last_ = now;
            ++ticks;
        });
        clock_.start();
        timer_.start();
    }
    qint64 longest = 0;
    int ticks = 0;

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
};
