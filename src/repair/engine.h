// SPDX-License-Identifier: GPL-3.0-or-later
// The folder repair engine: the analysis of a volume and the attribute repair pass, as functions
// of an open volume. They touch no window: a front end opens the volume, calls them, and turns a
// Problem into its own words (messages.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/boot_region.h"
#include "format/problem.h"
#include "format/progress.h"
#include "repair/findings.h"
#include "repair/journal.h"
#include "repair/layout.h"
#include "volume/volume.h"

namespace kestrova::repair {
struct Quarantine;
}

namespace kestrova::repair {

using volume::Expected;

// What a finished pass did.
struct RepairReport {
  std::vector<HiddenEntry> restored;  // the entries it changed, in chain order
  RootFindings findings;  // what it found besides: the virus's files (left as they are), the
                          // other verdicts
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;  // the journal of the change; empty when none was written
};

// A sector that a repair changes: its bytes as read, and restored.
struct SectorChange {
  std::vector<std::uint8_t> before;
  std::vector<std::uint8_t> after;
};

// The root directory's sectors that a repair changes, by their number counted from the root's
// first sector: what the pass writes.
struct RestoredSectors {
  std::map<std::int64_t, SectorChange> sectors;
};

// The root directory as the analysis read it: its bytes that hold entries, in order, and the
// volume sector of each of its sectors. What a pass that changes the root works from.
struct RootCopy {
  std::vector<std::uint8_t> bytes;
  std::vector<std::int64_t> sectors;
};

// The analysis of an open volume: boot region, geometry, the device's size, the root's chain, the
// root directory (read in transfers of a bounded size and looked at as they come, into
// layout.findings) and the chains that could reach it. Reads, never writes. With `restored`, it
// also keeps the root's sectors with every hidden folder restored. With `track`, it plans the root
// and the rest of the FAT on it (and with `restored` the sectors to write) and tells it of every
// transfer. The problem, when it refuses the volume (also when memory runs out).
Expected<VolumeLayout, Problem> Analyse(volume::Volume& volume, RestoredSectors* restored = nullptr,
                                        ProgressTrack* track = nullptr);
// The same into `layout`, which keeps what was learnt before a refusal. With `root`, the root
// directory's bytes as they were read are kept there. With `recall`, the quarantines of the volume
// that that listing of the journal folder names are read (by their names, the others are not): a
// file that a removal recorded as the virus's and that is still at its
// place with the same bytes stays the virus's (Evidence::kRemovedShortcutRan, kJudgedBefore).
std::optional<Problem> AnalyseInto(volume::Volume& volume, VolumeLayout& layout,
                                   RestoredSectors* restored = nullptr,
                                   ProgressTrack* track = nullptr, RootCopy* root = nullptr,
                                   const JournalFolderFiles* recall = nullptr);

// The repair pass on a volume opened for writing. Analyses it again as Analyse does, reading the
// whole root directory before anything is written; with `analysed`, it must still have that
// layout (the same boot sector and root chain) or nothing is written. Then it restores every
// hidden folder entry, writes only the sectors that change, makes them reach the disk and
// dismounts the volume. `progress` hears of every transfer, reads and writes on one track. The
// problem when the pass could not complete; its anyWritten says whether it had begun to write.
// With `journal`, the journal of the change is written to a new file at that place, and reaches
// the disk, before the first write; a journal that cannot be written stops the pass with nothing
// written. report.journal is its path (empty when nothing was to change).
Expected<RepairReport, Problem> Repair(volume::Volume& volume, const VolumeLayout* analysed,
                                       Progress* progress = nullptr,
                                       const JournalPlace* journal = nullptr);

// What a finished removal of the virus's files did.
struct CleanReport {
  std::vector<Judged> removed;   // the files and folders it removed, in root order, then those
                                 // it removed from inside a folder
  std::vector<KeptFolder> kept;  // the virus's folders it left because they hold a document
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;     // the journal of the change; empty when none was written
  std::filesystem::path quarantine;  // beside it, the files it removed
};

// Removes the files and folders that the virus left in the root, and its files one level inside a
// root folder that stays (layout.findings.leftovers; such a folder itself is left as it is), on a
// volume opened for writing, as a file system driver removes a file or a tree, under the rules of
// Repair (the analysis again under the lock, `analysed` checked as there; with `analysed`, only
// its leftovers are removed, the ones the user chose, each of which the analysis must find as it
// was; all read before the first write, the journal first, only changed sectors written, a
// checked flush). FAT: the short entry and its long-name entries get 0xE5, the chain is freed in
// every FAT kept current, FAT32's FSInfo free count grows when it is known. exFAT: each entry of
// the set loses its in-use bit, the clusters are cleared in the allocation bitmap and, for a
// chained file, freed in the FAT in use. A folder goes with everything in it, each entry inside
// marked so as well, unless it holds a document somewhere (it is kept and reported). Before the
// first write, every directory of the volume is walked (ProveNothingElseOwns): a chain that is
// broken, loops, does not fit its file's size, or holds a cluster that anything else of the
// volume owns, or a folder that cannot be read whole, refuses them all with nothing written.
Expected<CleanReport, Problem> Clean(volume::Volume& volume, const VolumeLayout* analysed,
                                     Progress* progress = nullptr,
                                     const JournalPlace* journal = nullptr);

// A file or folder that a move back put into the root, by its name in the folder and its name in
// the root (another when the root held one of the same name already).
struct MovedBack {
  RootFile file;  // as it was in the folder
  std::string name;
  bool folder = false;
};

// What a finished move back did.
struct MoveBackReport {
  std::string folder;       // the folder that the virus moved the files into; empty: none
  std::string innerFolder;  // the blank folder in it that held them, when it holds only that one
                            // of the user's (a worm that moved them two levels down)
  std::vector<MovedBack> moved;       // what went back into the root, in the folder's order
  std::vector<Judged> stayed;         // the virus's files and folders, left in the folder
  bool folderRemoved = false;         // the emptied folder was removed with the virus's files in it
  std::optional<Problem> folderKept;  // why a folder that held only the virus's files was kept
                                      // (its removal could not be proved to free nothing else's)
  std::int64_t clustersAdded = 0;     // FAT32 and exFAT: the clusters that the root grew by
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;     // the journal of the change; empty when none was written
  std::filesystem::path quarantine;  // beside it, the virus's files removed with the folder
};

// Puts back into the root the files and folders that the virus moved into a folder of it (the
// analysis's kMovedFilesFolder, the first one found), on a volume opened for writing, under the
// rules of Repair (the analysis again under the lock, `analysed` checked as there and its folder
// the same; all read before the first write, the journal first, only changed sectors written, a
// checked flush). Every entry of the folder but "." and ".." and the virus's goes to free entry
// slots of the root as it is: FAT's long-name entries and short entry, exFAT's whole entry set,
// its attributes, times, size and first cluster unchanged; a moved FAT folder's ".." then names
// the root. A folder that holds nothing of the user's but one more blank folder gives that one's
// entries, and goes with it. A name that the root holds already (compared as Windows does: exFAT by
// the volume's up-case table) gets " (2)" (or the first free number) before its extension: on FAT
// new long-name entries and a fresh short name with a numeric tail, on exFAT new name entries, name
// length and name hash, and the set checksum. An entry whose short name alone the root holds gets
// a fresh one; the long-name entries carry its checksum. The old entries are marked removed. When
// the root has no room, FAT32's and exFAT's grow by free clusters (free in the FAT, or exFAT's
// bitmap; chained in every FAT kept current, zeroed, FSInfo's count or the bitmap kept), while
// FAT12 and FAT16 refuse with nothing written (kRootFull). The folder goes when nothing but the
// virus's files stays in it: its entry marked, its clusters and theirs freed, once no other file
// of the volume is proved to own them.
Expected<MoveBackReport, Problem> MoveBack(volume::Volume& volume, const VolumeLayout* analysed,
                                           Progress* progress = nullptr,
                                           const JournalPlace* journal = nullptr);

// What MoveBack would do on the volume as it stands, reading only (a mounted drive too, beside
// its file system): the folder, what would move under which names, what would stay; nothing is
// written and no journal kept. An empty folder when there is none. The problem when the analysis
// refuses the volume, the folder cannot be read whole, or the root has no room (kRootFull).
Expected<MoveBackReport, Problem> PlanMoveBack(volume::Volume& volume,
                                               Progress* progress = nullptr);

// What one look plans for a stick, or what a fix did: the hidden entries shown again, the virus's
// files and folders removed, and what the virus moved into its folder put back into the root, all
// judged by one analysis.
struct Plan {
  RootFindings findings;             // the look it was made from
  std::vector<HiddenEntry> restore;  // the entries shown again, in chain order
  std::vector<Judged> remove;        // the virus's root files and folders removed, in root order
  std::vector<KeptFolder> kept;      // the virus's folders left because they hold a document
  MoveBackReport moveBack;           // its folder empty when nothing moves back; its
                                     // sectorsWritten and journal unused
  std::optional<Problem> moveBackRefused;  // why the files could not be moved back (the root
                                           // has no room, the folder cannot be read whole)
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;     // the journal of the change; empty when none was written
  std::filesystem::path quarantine;  // beside it, what it removed; empty when it removed nothing
};

// Which steps a fix takes.
struct FixChoice {
  bool restore = true;   // shows the hidden entries again, as Repair
  bool remove = true;    // removes the virus's files and folders, as Clean
  bool moveBack = true;  // puts back what the virus moved into its folder, as MoveBack
  // The virus's files and folders (by Judged::Path) that stay where they are: a root one is not
  // removed, one in the moved-files folder keeps the folder.
  std::vector<std::string> keep;
};

// Repair, Clean and MoveBack together, as one pass from one analysis: the hidden entries shown
// again, then the virus's files removed, then the moved files put back into the root, into the
// slots that the removal freed too, all read and checked before the first write, one journal,
// one commit (the rules of each pass hold as there; with `analysed`, only its leftovers are
// removed, each as it was, and its moved-files folder must be the one found now). A move back
// that the root has no room for, or whose folder cannot be read, is left out and said in
// moveBackRefused; the rest goes on. `pass` names the pass in a refusal. With `journal`, the
// analysis recalls what the volume's quarantines in journal->folder record (AnalyseInto; the
// folder listed once for the pass, ListedOnce), and a
// fix that removes anything first writes its quarantine beside the journal: every file removed
// with its bytes, and every file of the virus's that stays with its digest.
Expected<Plan, Problem> Fix(volume::Volume& volume, const VolumeLayout* analysed,
                            const FixChoice& choice, Progress* progress = nullptr,
                            const JournalPlace* journal = nullptr, PassKind pass = PassKind::kFix);

// What Fix would do on the volume as it stands, reading only (a mounted drive too, beside its
// file system): the same steps, nothing written and no journal kept; with `recall`, the
// quarantines that listing names are recalled as Fix recalls those of its journal folder.
Expected<Plan, Problem> PlanFix(volume::Volume& volume, const FixChoice& choice = {},
                                Progress* progress = nullptr,
                                const JournalFolderFiles* recall = nullptr);

// What putting files back from a quarantine did: each file as the quarantine kept it, and its
// name in the root.
struct RestoreReport {
  std::vector<MovedBack> restored;
  std::int64_t sectorsWritten = 0;
  std::filesystem::path journal;  // the journal of the change; empty when none was written
};

// Writes the removed files of `quarantine` at `paths` (QuarantinedFile::path) back into the root
// of its volume, each as a new visible file (PutBackFiles in steps.h): on a volume opened for
// writing, under the rules of Repair (the analysis under the lock, all read before the first
// write, the journal first, only changed sectors written, a checked flush), whatever was written
// to the volume since the removal. Refuses with nothing written when the volume is not the
// quarantine's (kJournalOtherVolume), a path names no removed file of it (kNotInQuarantine), a
// file's content does not match its digest (kQuarantineDamaged) or there is no room.
Expected<RestoreReport, Problem> Restore(volume::Volume& volume, const Quarantine& quarantine,
                                         const std::vector<std::string>& paths,
                                         Progress* progress = nullptr,
                                         const JournalPlace* journal = nullptr);

// What undoing a journaled change did.
struct UndoReport {
  std::int64_t sectorsWritten = 0;
  bool alreadyUndone = false;  // every sector held its old bytes already: nothing was written
};

// Puts back the old bytes of a journaled change, on a volume opened for writing: only when the
// volume is the journal's and every journaled sector holds exactly what the change wrote or
// already its old bytes (all are read before the first write); then the sectors that still hold
// the change, in the journal's order, flushed and dismounted as a repair is. So an undo that was
// cut short is completed by running it again, and one already done writes nothing and says so.
// The problem otherwise, with anyWritten as a repair's.
Expected<UndoReport, Problem> Undo(volume::Volume& volume, const Journal& journal,
                                   Progress* progress = nullptr);

}  // namespace kestrova::repair
