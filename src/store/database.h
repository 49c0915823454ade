#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace Vesk {

// The one SQLite connection of the program ("veskdb", file "vesk.data" in the data folder) and its set-up:
// schema, column-adding migrations, indexes and the resets run at every start.
class Database
{
public:
    static constexpr const char* kConnectionName = "veskdb";
    static constexpr const char* kFileName = "vesk.data";

    // Opens the database file in dataFolder (a path ending with a separator), creating it when missing, and brings
    // its schema up to date. A file that is not a SQLite database or is damaged is moved aside under a new name and
    // replaced by a fresh one; a file or folder that cannot be used leaves the program running on an in-memory
    // database for this session. Each such case is logged as a critical line. Never fails.
    // `interrupted`, when given, receives the downloads that were queued when the program last stopped, before the
    // start-up reset makes them wait for the user again.
    static QSqlDatabase open(const QString& dataFolder, QStringList* interrupted = nullptr);

    // The connection, opened if closed.
    static QSqlDatabase connection();

    // Closes and forgets the connection, so that open() can run again (tests).
    static void close();

    static QString filePath(const QString& dataFolder) { return dataFolder + QLatin1String(kFileName); }

    // Runs the create statements, the migrations, the indexes and the start-up resets on an open connection.
    // Returns false when the start-up resets could not be written.
    static bool prepareSchema(QSqlDatabase& db, QStringList* interrupted = nullptr);

private:
    static QString moveAside(const QString& path);
};

} // namespace Vesk
