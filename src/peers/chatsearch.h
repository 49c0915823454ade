#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

namespace Vesk {

// The search of one conversation, over the list of its messages: the rows whose text holds what the reader typed
// (letter case ignored, everything else as typed: accents count, markup is text), and the match the reader is on.
// Every message stays in the list; the interface marks the matches and moves between them.
//
// A new search starts at the newest match. When the list's rows change, the reader stays on the row they were on
// while it still matches, else goes to the newest match; either way matchesChanged() tells the view to show it.
class ChatSearch : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ChatSearch)
    Q_PROPERTY(QAbstractItemModel* model READ model WRITE setModel NOTIFY modelChanged)
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    Q_PROPERTY(int count READ count NOTIFY matchesChanged)
    // Which match the reader is on, from 0 (the oldest); -1 without a match.
    Q_PROPERTY(int current READ current NOTIFY matchesChanged)
    // The list's row of that match; -1 without one.
    Q_PROPERTY(int currentRow READ currentRow NOTIFY matchesChanged)

public:
    explicit ChatSearch(QObject* parent = nullptr);

    QAbstractItemModel* model() const { return m_model; }
    void setModel(QAbstractItemModel* model);
    QString text() const { return m_text; }
    void setText(const QString& text);
    int count() const { return int(m_rows.size()); }
    int current() const { return m_current; }
    int currentRow() const { return m_current < 0 ? -1 : m_rows.at(m_current); }
    QList<int> matchRows() const { return m_rows; }

    // Moves by this many matches, newer for positive steps, round from the newest to the oldest and back.
    Q_INVOKABLE void step(int by);

    // Whether a message's text holds the searched text; never for an empty search.
    static bool holds(const QString& message, const QString& text);

    // The role whose text is searched: the chat table's message column.
    static constexpr const char* kTextRole = "message";

Q_SIGNALS:
    void modelChanged();
    void textChanged();
    // The matches were looked for again or the reader moved between them, whether or not that changed them.
    void matchesChanged();

private:
    // announce: tell the view even when the matches and the current one stayed the same.
    void search(bool announce);

    QPointer<QAbstractItemModel> m_model;
    QList<QMetaObject::Connection> m_connections;
    QString m_text;
    QList<int> m_rows; // oldest first, as the list shows them
    int m_current = -1;
};

} // namespace Vesk
