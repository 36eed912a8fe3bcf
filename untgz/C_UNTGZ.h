// C_UNTGZ: extraction of gzip-compressed tar archives.
//
// One singleton holds the state of the one extraction that may run at a time.
// The calling task (the reader) decompresses the archive in 256 KiB chunks;
// each chunk is handed to a short-lived writer task "TarWrtTask" that feeds it
// block by block to the tar parser while the reader decompresses the next one.
// A 64-bit progression counter of the entry bytes written lets another task
// (the progress bar) follow the extraction.
//
// Files: untgz_driver.cpp (singleton, Untar, progression, extern "C" Untar),
// untgz_reader.cpp (DoUnArchive and the chunk ring), untgz_writer.cpp (the
// writer task), untgz_parser.cpp (UntarBlock, CheckSum, header fields, path
// composition), untgz_output.cpp (entry files and folders: CreatePath,
// cvtWrite and their companions), untgz_sync.cpp (the flush before success).
#ifndef UNTGZ_C_UNTGZ_H
#define UNTGZ_C_UNTGZ_H

#include "platform/plat_gz.h"
#include "platform/vxworks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Chunk asked of the archive reader per read, and the size of each chunk buffer (one
// spare byte).
#define UNTGZ_CHUNK_SIZE 262144
#define UNTGZ_CHUNK_BUFFER_SIZE 262145
// Chunk buffers in the ring between the reader and the writers: the reader
// decompresses one chunk while the writer parses the other (512 KiB in all,
// whatever the archive's size). Deeper rings let the reader run further
// ahead, but eight buffers gained only 1 to 5 % on the host for four times
// the memory on the unit.
#define UNTGZ_CHUNK_COUNT 2
// Tar block size (fixed; never read from the archive).
#define UNTGZ_BLOCK_SIZE 512
// Size of the archive and destination folder members (254 characters and NUL).
#define UNTGZ_PATH_SIZE 255
// Size of the composed output path (255 characters and NUL).
#define UNTGZ_NAME_SIZE 256

// POSIX ustar header block; every number in it is octal ASCII text.
typedef struct {
    char name[100];
    char mode[8];
    char uid[8];
    char gid[8];
    char size[12];
    char mtime[12];
    char chksum[8];
    char typeflag;
    char linkname[100];
    char magic[6];
    char version[2];
    char uname[32];
    char gname[32];
    char devmajor[8];
    char devminor[8];
    char prefix[155];
    char reserved[12];
} tar_t;

// The ring of chunk buffers between the reader and the writer tasks of one
// extraction. Chunks are numbered from 0 in archive order; chunk i lives in
// buffer i % UNTGZ_CHUNK_COUNT. The reader decompresses the next chunk into a
// free buffer (read-ahead) while earlier chunks wait for, or are being parsed
// by, their writer; writers take the chunks in order, one at a time
// (hand-off), and a buffer is read into again only after its writer has
// ended (collect). Handing a chunk over copies nothing. Used by the reader
// task only; the writer sees just the chunk it was handed.
struct t_chunk_ring {
    unsigned char buffer[UNTGZ_CHUNK_COUNT][UNTGZ_CHUNK_BUFFER_SIZE];
    int size[UNTGZ_CHUNK_COUNT];
    // Chunks below `written` have been parsed; chunk `written` is being
    // parsed (when `running`) or is the next to be; chunks up to read - 1
    // wait in the ring.
    long read;
    long written;
    bool running;
    // The read that gave nothing (end of the stream, stop_size 0) or failed
    // (stop_size -1, with its errno), as chunk number `stop`; -1 while the
    // stream goes on.
    long stop;
    int stop_size;
    int stop_errno;

    // Starts the ring with the first chunk, p_size bytes (0 for an empty
    // stream) already read into buffer 0: it is handed over even when empty.
    void Start(int p_size);
    // True when no writer runs and a chunk waits for one.
    bool CanHandOff() const { return !running && written < read; }
    // Hand-off: marks the oldest waiting chunk as being parsed and returns it,
    // with its size in p_size. A short chunk is parsed in whole blocks: the
    // rest of its last block is zero-filled, so no bytes of an earlier chunk
    // are taken as data.
    unsigned char *HandOff(int &p_size);
    // True when the stream goes on and a buffer is free for the next chunk.
    bool HasRoom() const { return stop < 0 && read - written < UNTGZ_CHUNK_COUNT; }
    // The free buffer that the next chunk is read into.
    unsigned char *ReadSlot() { return buffer[read % UNTGZ_CHUNK_COUNT]; }
    // Read-ahead: takes the result of reading into ReadSlot(). A chunk of
    // p_size > 0 bytes joins the ring; 0 (end of the stream) or -1 (error,
    // p_errno) becomes the stop, and the chunks before it are still parsed.
    void ReadAhead(int p_size, int p_errno);
    // Collect: the running writer has ended and its chunk is done. True when
    // the read right after that chunk failed: it is reported now, as when
    // each chunk is read while the one before it is parsed.
    bool Collect();
};

class C_UNTGZ {
public:
    // The singleton, created with the non-throwing new on the first call.
    // Null when it cannot be allocated (the next call tries again). Any task;
    // two first calls at the same time still create one object only.
    static C_UNTGZ *GetInstance();

    // Extracts the archive p_tar_file into p_dest_folder. The folder is
    // prefixed to every entry path with no separator added (give it with its
    // trailing "/"). p_verbose 1 logs each entry in detail, 0 prints one line
    // per entry on standard output; p_abs_path 1 keeps the leading "/" of the
    // composed paths, 0 removes it. Paths of 255 characters or more are
    // refused. Returns 0 (OK) only when the whole compressed stream was read
    // and found complete and every entry's file and folder was created,
    // written in full and closed; -1 (ERROR) otherwise, with a log line naming
    // the path and the error (the extraction stops at the first failure; what
    // was extracted before stays). Blocks until the extraction is over. A call
    // made while another extraction runs returns -1 at once ("Untar already
    // in use!!") and leaves it untouched. Any task, one extraction at a time.
    int Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose, int p_abs_path);

    // The reader loop of one extraction; called only by Untar on the calling
    // task. 0 or -1.
    int DoUnArchive();

    // Body of each writer task "TarWrtTask": parses the chunk, then gives
    // m_sem_write.
    static void StaticWriteTask(C_UNTGZ *p_instance);

    // Restricts the following extractions to entries whose path, relative to
    // the destination folder, begins with p_prefix (for instance "tmp_poi/"):
    // any other entry is refused with a log line and the extraction ends with
    // -1 before it writes anything for that entry. Null or "" lifts the
    // restriction (the default). At most 254 characters (longer: refused, -1).
    // The setting lasts until changed; call it only while no extraction runs,
    // from the task that then calls Untar.
    int SetAllowedPrefix(const char *p_prefix);

    // While an extraction runs: stores the entry data bytes written so far in
    // `progression` and returns 0. Otherwise stores 0 and returns -1. Any task.
    int GetProgression(unsigned long long &progression);

    // Host adaptation, for the simulator's report: what the last extraction
    // wrote, counted as it wrote it. The files whose whole data was written
    // and closed, the folders made (or found) for folder entries, and the
    // entry data bytes written (the final progression). Links, devices and
    // other skipped entries are not counted. Call it from the task that
    // called Untar, after it returned.
    void GetLastCounts(unsigned long &p_files, unsigned long &p_folders,
                       unsigned long long &p_bytes);

    // ---- Tar parser (writer task only) ----

    // Consumes one 512-byte block. 0 when the block was used or skipped, -1
    // when it should have been a header and is not a good one (or names an
    // entry that cannot be extracted safely); the caller then stops.
    int UntarBlock(unsigned char *block);
    // Checksum of the header: the sum of its bytes with the chksum field
    // counted as eight spaces; bytes taken as unsigned (is_signed 0) or as
    // signed chars (is_signed not 0).
    int CheckSum(tar_t *header, int is_signed);
    // Opens p_name for writing ("wb"), creating missing parent folders first
    // when the first open fails. The open file, or null (logged).
    FILE *CreatePath(char *p_name);
    // Writes `size` bytes of p_blk to p_fp as one item; nothing (logged) when
    // either pointer is null. The number of items written: 1, or 0 after a
    // short or failed write (errno set) or a null pointer.
    int cvtWrite(unsigned char *p_blk, unsigned long size, FILE *p_fp);

    ~C_UNTGZ();

private:
    C_UNTGZ();
    C_UNTGZ(const C_UNTGZ &) = delete;
    C_UNTGZ &operator=(const C_UNTGZ &) = delete;

    // The cases of UntarBlock (writer task). UntarDataBlock: one block of the
    // current entry's data (m_remaining not 0), written when its file is
    // open and the file closed after its last block; OK, or ERROR when the
    // write or the close failed. UntarHeader: the block where a header is
    // expected, not an end block: checked (shape, checksum, path), listed,
    // and its folder made or its file opened; OK, or ERROR (logged) when it
    // is no good header or its entry cannot be extracted.
    int UntarDataBlock(unsigned char *p_block);
    int UntarHeader(const unsigned char *p_block);
    // True when the header's chksum field matches its unsigned or its
    // signed-char sum; false (logged, with m_name) otherwise.
    bool HeaderSumGood(const tar_t &p_header);
    // OK for a ComposeName outcome that may be extracted; ERROR (logged with
    // p_path, the composed path) for a refused one.
    int RefuseEntryName(int p_name_status, const char *p_path);
    // Lists the entry m_name: in the log with its type letter p_letter when
    // verbose, else its short form on the console.
    void ListEntry(char p_letter);
    // A folder entry: makes m_name (with missing parents); OK also when it
    // exists, ERROR (logged) when it cannot be made.
    int MakeFolderEntry();
    // A regular-file entry: opens m_name for its m_remaining bytes (closed at
    // once when empty). OK, or ERROR (logged) when it cannot be created or
    // closed.
    int OpenFileEntry();
    // Writes the current entry's data found at p_data in one piece: all the
    // rest of it, then closes the file, when that lies within the p_avail
    // bytes read there; otherwise the whole blocks of the p_size (a multiple
    // of 512) that are each followed by more data of the entry. Returns the
    // number of bytes of p_data consumed (a multiple of 512, possibly 0), or
    // -1 when the write or the close failed (logged; the file is closed).
    long UntarDataRun(unsigned char *p_data, unsigned long p_size, unsigned long p_avail);
    // Writes p_size bytes of the current entry's data to m_out_file. OK, or
    // ERROR (logged with the path and the error; the file is closed).
    int WriteEntryData(unsigned char *p_data, unsigned long p_size);
    // Closes m_out_file. OK, or ERROR (logged with the path and the error).
    int CloseEntryFile();
    // Creates the folder m_name (and missing parents). OK also when it exists
    // already; ERROR (logged) when it cannot be made.
    int MakeEntryFolder();
    // The phases of Untar, on the calling task. CheckArguments: OK when
    // p_verbose and p_abs_path are 0 or 1 and both paths fit their members;
    // ERROR (logged) otherwise. ResetExtraction: clears the parser and
    // hand-off state, takes the arguments and logs the begin line; called
    // only while no extraction runs. RunExtraction: creates m_sem_write (the
    // extractor is in use from then on), runs the reader loop and flushes
    // the destination; OK or ERROR (logged), with p_wait_task set to the
    // writer to let end (unchanged, -1, when no reader loop ran).
    // ReleaseExtraction: lets that writer end (one pause of 50 ticks after a
    // clean run, up to 50 when a writer is still alive) and deletes
    // m_sem_write, which ends the extraction.
    int CheckArguments(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                       int p_abs_path);
    void ResetExtraction(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                         int p_abs_path);
    int RunExtraction(int &p_wait_task);
    void ReleaseExtraction(int p_wait_task);
    // Opens m_tar_file as the archive (reader task). OK, or ERROR (logged).
    int OpenArchive();
    // Runs writer tasks over the chunks of the ring until the stream has
    // ended and every chunk is parsed (OK), or a read, a spawn, a wait or a
    // writer fails (ERROR, logged). p_last_writer gets the id of the last
    // writer spawned (unchanged when none). Reader task, ring started.
    int RunChunkRing(int &p_last_writer);
    // Hand-off to a writer task: the oldest waiting chunk of the ring becomes
    // m_write_buffer and a "TarWrtTask" is spawned for it. Its id (also in
    // m_write_task), or ERROR (logged). Reader task, no writer running.
    int HandOffChunk();
    // Read-ahead: decompresses the next chunk into the ring's free buffer
    // (m_read_buffer from then on). Reader task, while the ring has room.
    void ReadAheadChunk();
    // Collects the writer that has ended (its semaphore taken). OK, or ERROR
    // (logged) when the read after its chunk failed or it refused a block.
    // Reader task.
    int CollectWriter();
    // Ends the reader loop whose result so far is p_result: waits for the
    // last writer p_last_writer, closes the archive, and makes the result
    // ERROR (logged) when the stream or the last entry's data was cut or the
    // output file cannot be closed. Returns the result. Reader task.
    int EndUnArchive(int p_result, int p_last_writer);
    // Reads the next chunk of the archive into m_read_buffer (reader task):
    // the count (UNTGZ_CHUNK_SIZE, or less for the last chunk), 0 at the end
    // of the stream, or -1 on an error (errno set). A short chunk that the
    // stream does not end after is a read error (logged with the archive),
    // never handed to the parser.
    int ReadChunk();
    // Logs the archive reader's error text (reader task).
    void LogReadError();
    // Logs that p_what ("write", "close", ...) failed for p_path, with the
    // error text of p_errno.
    void LogFileError(const char *p_what, const char *p_path, int p_errno);
    // Composes and normalises the entry's output path into p_path (room for
    // 512 characters) and m_name. 0 when it can be used; 1 when it is longer
    // than m_name can hold, 2 when it climbs out of the destination folder,
    // 3 when it lies outside the allowed prefix (SetAllowedPrefix).
    int ComposeName(const tar_t *p_header, char *p_path);
    // Puts what the extraction wrote on the medium (one flush of the device
    // holding m_dest_folder) before Untar claims success. OK, or ERROR with a
    // log line when the device cannot be opened or flushed.
    int SyncDestination();
    // Waits until the writer task p_tid has ended (no-op for 0 or -1).
    static void WaitWriterEnd(int p_tid);
    // Makes the folders of p_path's parents whose names end past offset
    // p_from (0: every one from the root); failures are not looked at.
    static void MakeParents(char *p_path, size_t p_from);

    static std::atomic<C_UNTGZ *> m_pInstance;

    // The open archive (host adaptation: the archive-reader seam instead of a
    // zlib gzFile, so that a cut stream is always detected).
    plat::GzReader *m_gz_file;
    // The reader broke its contract (a short chunk before the end of the
    // stream) in this extraction: logged by ReadChunk.
    bool m_short_read;
    // Parser state: the open output file, the bytes of the entry still to come.
    FILE *m_out_file;
    uint32_t m_remaining;
    int m_verbose;
    int m_abs_path;
    int m_slashes_removed;
    // Written by the writer task, read by any task (GetProgression): a 64-bit
    // atomic so that no reader sees a torn value.
    std::atomic<unsigned long long> m_progression;
    // Entry files completed and folder entries made in this extraction
    // (writer task; read by the caller after Untar, GetLastCounts).
    unsigned long m_files_written;
    unsigned long m_folders_made;
    char m_name[UNTGZ_NAME_SIZE];
    // Short form of m_name printed by the non-verbose listing: "." and the
    // last component ("./b.dat" for "/SDH/MAPPE/a/b.dat", at most 254
    // characters), or the whole of m_name for a folder or a name without a
    // "/" (writer task).
    char m_display[UNTGZ_NAME_SIZE];
    // Offset in m_name where the entry's own path begins (past the
    // destination folder).
    size_t m_dest_end;
    int m_first_header;
    // Result of the last writer task; read by the reader after it has taken
    // m_sem_write.
    int m_write_status;
    // Writer task id (0 none, -1 failed spawn) and the hand-off semaphore,
    // whose presence marks the extractor as in use. Read by other tasks
    // (GetProgression, a second Untar): atomics on the host.
    std::atomic<int> m_write_task;
    std::atomic<SEM_ID> m_sem_write;
    // The ring of chunk buffers between the reader and the writers (see
    // t_chunk_ring). The two chunk buffers of the extraction are pointers
    // into it, not buffers of their own: m_read_buffer, the ring's buffer
    // that the reader decompresses the next chunk into (reader task only),
    // and m_write_buffer, the one handed to the running writer with its
    // m_write_size bytes, owned by the writer from its spawn until it gives
    // m_sem_write. A hand-off moves the pointer; no chunk is copied.
    t_chunk_ring m_ring;
    unsigned char *m_read_buffer;
    unsigned char *m_write_buffer;
    int m_write_size;
    char m_dest_folder[UNTGZ_PATH_SIZE];
    char m_tar_file[UNTGZ_PATH_SIZE];
    // Entries must begin with this relative path ("" when unrestricted).
    char m_allowed_prefix[UNTGZ_PATH_SIZE];
};

// Extracts p_tar_file into p_dest_folder through the singleton (see
// C_UNTGZ::Untar); the outcome is told only by log lines. Any task, or the
// target shell.
extern "C" void Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                      int p_abs_path);

#endif
