// The two-way sync's portable parts (host/sync/): the decision table, its
// guards, the names it makes, the state file's text and the listing reader.
#include "listing_reader.h"
#include "names.h"
#include "planner.h"
#include "state_format.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace twoway;

struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

constexpr std::uint64_t kTime = 133000000000000000ull;

// What one side holds for the file "f.txt" relative to the state: absent,
// as recorded, or changed (size or time for the local side, rev for the remote).
enum class Side { Absent, Same, Changed, ChangedTimeOnly };

struct TableRow {
    const char *name;
    bool inState;
    Side local;
    Side remote;
    Action action;
    Reason reason;
};

StateEntry State() {
    StateEntry entry;
    entry.folder = 1;
    entry.name = "f.txt";
    entry.key = "f.txt";
    entry.rev = "50b31176a";
    entry.remoteSize = 5;
    entry.clientMtime = "Wed, 29 Oct 2014 19:30:19 +0000";
    entry.localSize = 5;
    entry.localMtime = kTime;
    return entry;
}

// One folder (User Notes) holding f.txt as the row says, and a bystander that
// is the same on both sides, so that no row trips a guard of its own.
Plan PlanRow(const TableRow &row, unsigned maxDelete = 100) {
    FolderView folders[kFolderCount];
    FolderView &notes = folders[1];
    const StateEntry state = State();
    StateEntry keep = state;
    keep.name = keep.key = "keep.txt";
    notes.state = {keep};
    notes.local = {{"keep.txt", "keep.txt", keep.localSize, keep.localMtime}};
    notes.remote = {{"keep.txt", "keep.txt", keep.rev, keep.remoteSize, keep.clientMtime}};
    if (row.inState) notes.state.push_back(state);
    if (row.local != Side::Absent) {
        LocalFile file{"f.txt", "f.txt", state.localSize, state.localMtime};
        if (row.local == Side::Changed) file.size = 9;
        if (row.local == Side::ChangedTimeOnly) file.mtime += 1;
        notes.local.push_back(file);
    }
    if (row.remote != Side::Absent)
        notes.remote.push_back({"f.txt", "f.txt", row.remote == Side::Same ? state.rev : "60b31176a", 5, ""});
    PlanOptions options;
    options.haveState = true;
    options.maxDeletePercent = maxDelete;
    return MakePlan(folders, {}, options);
}

const Decision &DecisionFor(const Plan &plan, const std::string &key) {
    for (const Decision &d : plan.decisions)
        if (d.key == key) return d;
    static const Decision none;
    ADD_FAILURE() << "no decision for " << key;
    return none;
}

// Rows print as their names.
void PrintTo(const TableRow &row, std::ostream *out) { *out << row.name; }

class DecisionTable : public testing::TestWithParam<TableRow> {};

TEST_P(DecisionTable, EachSideAgainstItsOwnSnapshot) {
    const TableRow &row = GetParam();
    const Plan plan = PlanRow(row);
    const Decision &d = DecisionFor(plan, "f.txt");
    EXPECT_EQ(d.action, row.action) << ActionName(d.action);
    EXPECT_EQ(d.reason, row.reason) << ReasonText(d.reason);
    EXPECT_EQ(DecisionFor(plan, "keep.txt").action, Action::None);
    EXPECT_EQ(plan.guard, Guard::Passed);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DecisionTable,
    testing::Values(TableRow{"SameSame", true, Side::Same, Side::Same, Action::None, Reason::Unchanged},
                    TableRow{"ChangedSame", true, Side::Changed, Side::Same, Action::Upload, Reason::LocalChanged},
                    TableRow{"TimeOnlySame", true, Side::ChangedTimeOnly, Side::Same, Action::Upload,
                             Reason::LocalChanged},
                    TableRow{"NewAbsent", false, Side::Changed, Side::Absent, Action::Upload, Reason::LocalNew},
                    TableRow{"SameChanged", true, Side::Same, Side::Changed, Action::Download, Reason::RemoteChanged},
                    TableRow{"AbsentNew", false, Side::Absent, Side::Changed, Action::Download, Reason::RemoteNew},
                    TableRow{"DeletedSame", true, Side::Absent, Side::Same, Action::DeleteRemote, Reason::LocalDeleted},
                    TableRow{"SameDeleted", true, Side::Same, Side::Absent, Action::TrashLocal, Reason::RemoteDeleted},
                    TableRow{"DeletedChanged", true, Side::Absent, Side::Changed, Action::Download,
                             Reason::DeletedLocallyChangedRemotely},
                    TableRow{"ChangedDeleted", true, Side::Changed, Side::Absent, Action::Upload,
                             Reason::ChangedLocallyDeletedRemotely},
                    TableRow{"DeletedDeleted", true, Side::Absent, Side::Absent, Action::Forget, Reason::BothDeleted},
                    TableRow{"BothChanged", true, Side::Changed, Side::Changed, Action::Compare, Reason::BothChanged},
                    TableRow{"BothNew", false, Side::Same, Side::Same, Action::Compare, Reason::BothNew}),
    RowName());

// Without a state (first run, unreadable, another account, --resync) one-sided
// files are copied, two-sided ones compared, and nothing is deleted.
TEST(Plan, WithoutStateDeletesNothing) {
    FolderView folders[kFolderCount];
    folders[0].local = {{"a.txt", "a.txt", 1, kTime}};
    folders[0].remote = {{"b.txt", "b.txt", "10b31176a", 1, ""}};
    folders[2].local = {{"c.txt", "c.txt", 1, kTime}};
    folders[2].remote = {{"C.TXT", "c.txt", "20b31176a", 1, ""}};
    folders[0].state = {State()}; // ignored: the run has no state
    folders[0].state[0].folder = 0;
    const Plan plan = MakePlan(folders, {}, PlanOptions{});
    ASSERT_EQ(plan.decisions.size(), 3u);
    EXPECT_EQ(plan.decisions[0].action, Action::Upload);
    EXPECT_EQ(plan.decisions[1].action, Action::Download);
    EXPECT_EQ(plan.decisions[2].action, Action::Compare);
    EXPECT_EQ(plan.deletes, 0u);
    EXPECT_EQ(plan.guard, Guard::Passed);
}

TEST(Plan, NamesDifferingOnlyInCaseOnOneSideAreSkipped) {
    FolderView folders[kFolderCount];
    folders[1].remote = {{"Twin.txt", "twin.txt", "10b31176a", 1, ""}, {"twin.TXT", "twin.txt", "20b31176a", 1, ""}};
    folders[1].local = {{"Twin.txt", "twin.txt", 1, kTime}, {"other.txt", "other.txt", 1, kTime}};
    const Plan plan = MakePlan(folders, {}, PlanOptions{});
    std::vector<std::string> skipped;
    for (const Decision &d : plan.decisions)
        if (d.action == Action::Skip) {
            EXPECT_EQ(d.reason, Reason::RemoteCaseCollision);
            skipped.push_back(d.remote->name);
        }
    EXPECT_EQ(skipped, (std::vector<std::string>{"Twin.txt", "twin.TXT"}));
    EXPECT_EQ(DecisionFor(plan, "other.txt").action, Action::Upload);
}

TEST(Plan, SkippedNameKeepsItsStateEntry) {
    // A file that became a sub-folder remotely is neither trashed nor deleted.
    FolderView folders[kFolderCount];
    folders[1].state = {State()};
    folders[1].local = {{"f.txt", "f.txt", 5, kTime}};
    PlanOptions options;
    options.haveState = true;
    const Plan plan = MakePlan(folders, {{1, "f.txt", "f.txt", "remote sub-folder"}}, options);
    ASSERT_EQ(plan.decisions.size(), 1u);
    EXPECT_EQ(plan.decisions[0].action, Action::Skip);
    EXPECT_EQ(plan.decisions[0].skipWhy, "remote sub-folder");
    EXPECT_EQ(plan.deletes, 0u);
}

struct GuardRow {
    const char *name;
    int stateFiles;
    int localDeleted;  // state files missing locally (remote unchanged): remote deletes
    int remoteDeleted; // state files missing remotely (local unchanged): trash moves
    unsigned maxDelete;
    Guard guard;
};

// Rows print as their names.
void PrintTo(const GuardRow &row, std::ostream *out) { *out << row.name; }

class Guards : public testing::TestWithParam<GuardRow> {};

TEST_P(Guards, StopTheRunBeforeItWrites) {
    const GuardRow &row = GetParam();
    FolderView folders[kFolderCount];
    for (int i = 0; i < row.stateFiles; ++i) {
        StateEntry entry = State();
        entry.name = entry.key = "f" + std::to_string(i);
        folders[1].state.push_back(entry);
        if (i >= row.localDeleted)
            folders[1].local.push_back({entry.name, entry.key, entry.localSize, entry.localMtime});
        if (i < row.localDeleted || i >= row.localDeleted + row.remoteDeleted)
            folders[1].remote.push_back({entry.name, entry.key, entry.rev, entry.remoteSize, entry.clientMtime});
    }
    PlanOptions options;
    options.haveState = true;
    options.maxDeletePercent = row.maxDelete;
    const Plan plan = MakePlan(folders, {}, options);
    EXPECT_EQ(plan.guard, row.guard) << GuardText(plan.guard);
    EXPECT_EQ(plan.deletes, static_cast<size_t>(row.localDeleted + row.remoteDeleted));
}

INSTANTIATE_TEST_SUITE_P(Rows, Guards,
                         testing::Values(GuardRow{"HalfIsAllowed", 4, 1, 1, 50, Guard::Passed},
                                         GuardRow{"MoreThanHalf", 4, 2, 1, 50, Guard::TooManyDeletes},
                                         GuardRow{"RaisedLimit", 4, 2, 1, 75, Guard::Passed},
                                         GuardRow{"NoDeletesAllowed", 4, 1, 0, 0, Guard::TooManyDeletes},
                                         GuardRow{"LocalEmpty", 3, 3, 0, 99, Guard::LocalEmpty},
                                         GuardRow{"RemoteEmpty", 3, 0, 3, 99, Guard::RemoteEmpty},
                                         GuardRow{"EmptyAllowedAtHundred", 3, 3, 0, 100, Guard::Passed}),
                         RowName());

// ---- names ----

TEST(Names, ConflictedCopyNamesAreNumberedWhenTaken) {
    const std::set<std::string> taken = {"c (conflicted copy HOST 2026-12-10).txt",
                                         "c (conflicted copy HOST 2026-12-10 2).txt"};
    const auto isTaken = [&](const std::string &name) { return taken.count(name) != 0; };
    EXPECT_EQ(ConflictName("c.txt", "HOST", "2026-12-10", isTaken), "c (conflicted copy HOST 2026-12-10 3).txt");
    EXPECT_EQ(ConflictName("notes", "PC", "2026-01-02", isTaken), "notes (conflicted copy PC 2026-01-02)");
    EXPECT_EQ(ConflictName(".hidden", "PC", "2026-01-02", isTaken), ".hidden (conflicted copy PC 2026-01-02)");
    EXPECT_EQ(ConflictName("a.b.c", "PC", "2026-01-02", isTaken), "a.b (conflicted copy PC 2026-01-02).c");
    EXPECT_EQ(NumberedName("a.txt", [](const std::string &n) { return n == "a.txt" || n == "a (2).txt"; }),
              "a (3).txt");
    EXPECT_EQ(NumberedName("a.txt", [](const std::string &) { return false; }), "a.txt");
}

TEST(Names, TheDownloadsTemporaryFilesAreRecognised) {
    EXPECT_TRUE(IsDownloadTemporaryName("~vs0123abcd"));
    EXPECT_TRUE(IsDownloadTemporaryName("~vsDEADBEEF"));
    EXPECT_FALSE(IsDownloadTemporaryName("~vs0123abc"));
    EXPECT_FALSE(IsDownloadTemporaryName("~vs0123abcg"));
    EXPECT_FALSE(IsDownloadTemporaryName("~vs0123abcd.txt"));
    EXPECT_FALSE(IsDownloadTemporaryName("vs0123abcd0"));
}

TEST(Names, NamesAWindowsFolderCannotHold) {
    for (const char *name :
         {"a:b.txt", "what?.txt", "trailing.", "trailing ", "CON", "nul.txt", "com1", "LPT9.log", "tab\there"})
        EXPECT_NE(UnusableLocalName(name), nullptr) << name;
    for (const char *name : {"a]b [c].txt", "Café.txt", "console.txt", "COM10", "com0", ".hidden"})
        EXPECT_EQ(UnusableLocalName(name), nullptr) << name;
}

// ---- the state file's text ----

SyncState SampleState() {
    SyncState state;
    state.account = "0b31176a";
    state.localRoot = "Z:\\home\\user\\Velmora";
    state.host = "desk";
    StateEntry entry = State();
    entry.name = "Café ].txt";
    state.files = {entry};
    entry.folder = 0;
    entry.name = "b.json";
    entry.localMtime = 0xFFFFFFFFFFFFFFFFull;
    state.files.push_back(entry);
    return state;
}

TEST(StateText, WrittenThenReadGivesTheSameState) {
    const SyncState state = SampleState();
    SyncState read;
    std::string why;
    ASSERT_TRUE(ReadState(WriteState(state), read, why)) << why;
    EXPECT_EQ(read.account, state.account);
    EXPECT_EQ(read.localRoot, state.localRoot);
    EXPECT_EQ(read.host, state.host);
    ASSERT_EQ(read.files.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(read.files[i].folder, state.files[i].folder);
        EXPECT_EQ(read.files[i].name, state.files[i].name);
        EXPECT_EQ(read.files[i].rev, state.files[i].rev);
        EXPECT_EQ(read.files[i].remoteSize, state.files[i].remoteSize);
        EXPECT_EQ(read.files[i].clientMtime, state.files[i].clientMtime);
        EXPECT_EQ(read.files[i].localSize, state.files[i].localSize);
        EXPECT_EQ(read.files[i].localMtime, state.files[i].localMtime);
    }
}

struct CorruptRow {
    const char *name;
    std::string (*spoil)(const std::string &text);
};

// Rows print as their names.
void PrintTo(const CorruptRow &row, std::ostream *out) { *out << row.name; }

class CorruptState : public testing::TestWithParam<CorruptRow> {};

TEST_P(CorruptState, IsNotRead) {
    SyncState read;
    read.host = "untouched";
    std::string why;
    EXPECT_FALSE(ReadState(GetParam().spoil(WriteState(SampleState())), read, why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(read.host, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CorruptState,
    testing::Values(CorruptRow{"CutShort", [](const std::string &text) { return text.substr(0, text.size() / 2); }},
                    CorruptRow{"OneByteChanged",
                               [](const std::string &text) {
                                   std::string changed = text;
                                   changed[changed.find("desk")] = 'D';
                                   return changed;
                               }},
                    CorruptRow{"Empty", [](const std::string &) { return std::string(); }},
                    CorruptRow{"OtherSchema",
                               [](const std::string &text) {
                                   // A consistent file of another schema: its checksum is made anew.
                                   const std::string body = text.substr(text.find("\"state\":") + 8);
                                   std::string changed = body.substr(0, body.rfind('}'));
                                   changed.replace(changed.find("\"schema\":1"), 10, "\"schema\":2");
                                   std::string hex(16, '0');
                                   std::uint64_t sum = Fnv1a64(changed);
                                   for (size_t i = 16; i-- > 0; sum >>= 4) hex[i] = "0123456789abcdef"[sum & 0xF];
                                   return "{\"checksum\":\"" + hex + "\",\"state\":" + changed + "}";
                               }},
                    CorruptRow{"NotJson", [](const std::string &) { return std::string("checksum 1234"); }}),
    RowName());

// ---- listings ----

const char kListing[] =
    R"({"hash": "37eb", "revision": 5, "rev": "50b31176a", "thumb_exists": false, "bytes": 0, )"
    R"("modified": "Wed, 29 Oct 2014 19:29:40 +0000", "path": "/User Notes", "is_dir": true, "icon": "folder", )"
    R"("root": "app_folder", "contents": [{"revision": 7, "rev": "70b31176a", "thumb_exists": false, "bytes": 14, )"
    R"("modified": "Wed, 29 Oct 2014 19:30:19 +0000", "client_mtime": "Wed, 29 Oct 2014 19:30:18 +0000", )"
    R"("path": "/user notes/a]b \u00e9.txt", "is_dir": false, "icon": "page_white_text", "root": "app_folder", )"
    R"("mime_type": "text/plain", "size": "14 bytes"}, {"revision": 8, "rev": "80b31176a", "thumb_exists": false, )"
    R"("bytes": 0, "modified": "Wed, 29 Oct 2014 19:31:02 +0000", "path": "/User Notes/Trip 2014", "is_dir": true, )"
    R"("icon": "folder", "root": "app_folder", "size": "0 bytes"}, {"is_deleted": true, "revision": 9, )"
    R"("rev": "90b31176a", "bytes": 0, "path": "/User Notes/gone.txt", "is_dir": false}], "size": "0 bytes"})";

TEST(Listing, FilesAndSubFoldersOfTheFolder) {
    FolderListing listing;
    std::string why;
    ASSERT_TRUE(ReadListing(kListing, "User Notes", listing, why)) << why;
    EXPECT_EQ(listing.rev, "50b31176a");
    ASSERT_EQ(listing.entries.size(), 2u);
    EXPECT_EQ(listing.entries[0].name, "a]b \xc3\xa9.txt");
    EXPECT_FALSE(listing.entries[0].isDir);
    EXPECT_EQ(listing.entries[0].rev, "70b31176a");
    EXPECT_EQ(listing.entries[0].size, 14u);
    EXPECT_EQ(listing.entries[0].clientMtime, "Wed, 29 Oct 2014 19:30:18 +0000");
    EXPECT_EQ(listing.entries[1].name, "Trip 2014");
    EXPECT_TRUE(listing.entries[1].isDir);
    EXPECT_EQ(NamespaceOfRev(listing.rev), "0b31176a");
}

struct BadListingRow {
    const char *name;
    std::string text;
};

// Rows print as their names.
void PrintTo(const BadListingRow &row, std::ostream *out) { *out << row.name; }

class BadListing : public testing::TestWithParam<BadListingRow> {};

TEST_P(BadListing, IsRefused) {
    FolderListing listing;
    std::string why;
    EXPECT_FALSE(ReadListing(GetParam().text, "User Notes", listing, why));
    EXPECT_FALSE(why.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadListing,
    testing::Values(BadListingRow{"AnotherFolder", R"({"path": "/Highlights", "is_dir": true, "contents": []})"},
                    BadListingRow{"AFile", R"({"path": "/User Notes", "is_dir": false, "rev": "1"})"},
                    BadListingRow{"ErrorObject", R"({"error": "Path '/User Notes' not found"})"},
                    BadListingRow{"CutShort", std::string(kListing).substr(0, 300)},
                    BadListingRow{"EntryElsewhere",
                                  R"({"path": "/User Notes", "is_dir": true, "contents": [{"path": "/x/a.txt", )"
                                  R"("is_dir": false, "rev": "1", "bytes": 1}]})"},
                    BadListingRow{"FileWithoutRev", R"({"path": "/User Notes", "is_dir": true, "contents": [)"
                                                    R"({"path": "/User Notes/a.txt", "is_dir": false, "bytes": 1}]})"},
                    BadListingRow{"SizeAsText", R"({"path": "/User Notes", "is_dir": true, "contents": [{"path": )"
                                                R"("/User Notes/a.txt", "is_dir": false, "rev": "1", "bytes": "1"}]})"},
                    BadListingRow{"DeletedAsText",
                                  R"({"path": "/User Notes", "is_dir": true, "contents": [{"is_deleted": "yes", )"
                                  R"("path": "/User Notes/a.txt", "is_dir": false, "rev": "1", "bytes": 1}]})"}),
    RowName());

TEST(Listing, NamespaceOnlyFromARevOfHexDigits) {
    EXPECT_EQ(NamespaceOfRev("10b31176a"), "0b31176a");
    EXPECT_EQ(NamespaceOfRev("0b31176a"), "");
    EXPECT_EQ(NamespaceOfRev("1Xb31176a"), "");
    EXPECT_EQ(NamespaceOfRev(""), "");
}

} // namespace
