// Rollback journal: before-images of every range a commit overwrites.
//
// Layout: a 32-byte header {magic "ORBJRNL1", int64 original size, uint64
// nonce, uint32 zero, uint32 CRC of the first 28 bytes}, then records
// {int64 offset, uint32 length, uint32 CRC of nonce+offset+length+data, data}.
// Records are flushed before the database range they describe is written, so
// a torn last record always belongs to a range that was never touched.
#include "storage/ORBJournal.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "orb/ORBExcept.h"
#include "orb/ORBUtils.h"
#include "storage/ORBDatabaseFile.h"
#include "storage/ORBFileFormat.h"

namespace orb {

namespace {

constexpr char kMagic[8] = {'O', 'R', 'B', 'J', 'R', 'N', 'L', '1'};
constexpr size_t kHeaderBytes = 32;
constexpr size_t kRecordHead = 16;
constexpr int32_t kErrJournal = 31070;

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

uint32_t RecordCrc(uint64_t nonce, int64_t offset, uint32_t length, const uint8_t* data) {
  uint8_t head[20];
  PutLE(head, nonce);
  PutLE(head + 8, offset);
  PutLE(head + 16, length);
  return CRC32(data, length, CRC32(head, sizeof head));
}

struct JournalHeader {
  int64_t originalSize = 0;
  uint64_t nonce = 0;
};

bool ReadHeader(TORBEnv* env, int fd, JournalHeader* h) {
  uint8_t buf[kHeaderBytes];
  size_t got = 0;
  if (env->PRead(fd, buf, sizeof buf, 0, &got) || got != sizeof buf) return false;
  if (std::memcmp(buf, kMagic, 8) != 0 || CRC32(buf, 28) != GetLE<uint32_t>(buf + 28)) return false;
  h->originalSize = GetLE<int64_t>(buf + 8);
  h->nonce = GetLE<uint64_t>(buf + 16);
  return h->originalSize >= 0;
}

}  // namespace

TORBJournal::TORBJournal(TORBDatabaseFile& db) : db_(db), env_(db.Env()) {}

TORBJournal::~TORBJournal() {
  if (fd_ >= 0) env_->Close(fd_);
}

void TORBJournal::Fail(const char* what, int err) {
  throw EORBException::Fmt(kErrJournal, "Cannot %s journal file '%s'. ErrorCode:%d. ErrorMessage: %s", what, path_, err,
                           OSErrorText(err));
}

void TORBJournal::Begin() {
  covered_.clear();
  active_ = Durable;
  if (!active_) return;
  path_ = PathFor(db_.FileName);
  originalSize_ = db_.GetSize();
  journalSize_ = 0;
}

void TORBJournal::OpenJournal() {
  int r = env_->Open(path_, O_RDWR | O_CREAT | O_TRUNC, 0644, &fd_);
  if (r) {
    fd_ = -1;
    Fail("create", r);
  }
  uint8_t head[kHeaderBytes] = {};
  std::memcpy(head, kMagic, 8);
  PutLE(head + 8, originalSize_);
  uint64_t nonce;
  RandomBytes(&nonce, sizeof nonce);
  PutLE(head + 16, nonce);
  PutLE(head + 28, CRC32(head, 28));
  if ((r = env_->PWrite(fd_, head, sizeof head, 0))) Fail("write", r);
  journalSize_ = kHeaderBytes;
  // The directory entry must be durable before the database is touched.
  if ((r = env_->SyncDir(DirOf(path_)))) Fail("flush the folder of", r);
}

void TORBJournal::Append(const std::vector<std::pair<int64_t, int64_t>>& ranges) {
  // Only bytes that existed before the commit and are not journaled yet.
  std::vector<std::pair<int64_t, int64_t>> todo;
  for (auto [pos, count] : ranges) {
    int64_t start = std::max<int64_t>(pos, 0), end = std::min(pos + count, originalSize_);
    while (start < end) {
      auto it = covered_.upper_bound(start);
      if (it != covered_.begin()) {
        auto prev = std::prev(it);
        if (prev->second > start) {
          start = prev->second;
          continue;
        }
      }
      int64_t stop = end;
      if (it != covered_.end() && it->first < stop) stop = it->first;
      todo.emplace_back(start, stop);
      start = stop;
    }
  }
  if (todo.empty()) return;
  if (fd_ < 0) OpenJournal();
  uint8_t head[kHeaderBytes];
  size_t got = 0;
  env_->PRead(fd_, head, sizeof head, 0, &got);
  const uint64_t nonce = GetLE<uint64_t>(head + 16);
  std::vector<uint8_t> buf;
  for (auto [start, stop] : todo) {
    // Large ranges (a shrink) are journaled in pieces.
    for (int64_t p = start; p < stop;) {
      const uint32_t len = static_cast<uint32_t>(std::min<int64_t>(stop - p, 1 << 20));
      buf.resize(kRecordHead + len);
      if (!db_.ReadBuffer(buf.data() + kRecordHead, p, len))
        throw EORBException::Fmt(kErrJournal, "Cannot read database range %d..%d for the journal", p, p + len);
      PutLE(buf.data(), p);
      PutLE(buf.data() + 8, len);
      PutLE(buf.data() + 12, RecordCrc(nonce, p, len, buf.data() + kRecordHead));
      int r = env_->PWrite(fd_, buf.data(), buf.size(), journalSize_);
      if (r) Fail("write", r);
      journalSize_ += static_cast<int64_t>(buf.size());
      p += len;
    }
    // Merge into the covered set.
    int64_t s = start, e = stop;
    auto it = covered_.upper_bound(s);
    if (it != covered_.begin() && std::prev(it)->second >= s) --it;
    while (it != covered_.end() && it->first <= e) {
      s = std::min(s, it->first);
      e = std::max(e, it->second);
      it = covered_.erase(it);
    }
    covered_[s] = e;
  }
  int r = env_->Sync(fd_);
  if (r) Fail("flush", r);
}

void TORBJournal::Protect(const std::vector<std::pair<int64_t, int64_t>>& ranges) {
  if (active_) Append(ranges);
}

void TORBJournal::BeforeWrite(int64_t position, int64_t count) {
  if (active_) Append({{position, count}});
}

void TORBJournal::BeforeResize(int64_t newSize) {
  if (active_ && newSize < originalSize_) Append({{newSize, originalSize_ - newSize}});
}

void TORBJournal::CloseJournal(bool remove) {
  if (fd_ >= 0) {
    env_->Close(fd_);
    fd_ = -1;
  }
  if (remove) {
    int r = env_->Unlink(path_);
    if (r && r != ENOENT) Fail("delete", r);
    if ((r = env_->SyncDir(DirOf(path_)))) Fail("flush the folder of", r);
  }
}

void TORBJournal::Commit() {
  if (!active_) return;
  active_ = false;
  covered_.clear();
  if (fd_ < 0) {
    db_.FlushFileBuffers();
    return;
  }
  db_.FlushFileBuffers();
  CloseJournal(true);
}

bool TORBJournal::Rollback() {
  if (!active_) return true;
  active_ = false;
  covered_.clear();
  if (fd_ < 0) {
    // Nothing was overwritten; only growth can have happened.
    try {
      if (db_.GetSize() != originalSize_) db_.SetSize(originalSize_);
      return true;
    } catch (const EORBException&) {
      return false;
    }
  }
  CloseJournal(false);
  try {
    Recover(db_, env_);
    return true;
  } catch (const EORBException&) {
    return false;
  }
}

bool TORBJournal::IsHot(const std::string& databaseFile, TORBEnv* env) {
  int fd;
  if (env->Open(PathFor(databaseFile), O_RDONLY, 0, &fd)) return false;
  JournalHeader h;
  bool hot = ReadHeader(env, fd, &h);
  env->Close(fd);
  return hot;
}

bool TORBJournal::Recover(TORBDatabaseFile& db, TORBEnv* env) {
  const std::string path = PathFor(db.FileName);
  int fd;
  int r = env->Open(path, O_RDONLY, 0, &fd);
  if (r == ENOENT) return false;
  if (r)
    throw EORBException::Fmt(kErrJournal, "Cannot open journal file '%s'. ErrorCode:%d. ErrorMessage: %s", path, r,
                             OSErrorText(r));
  JournalHeader h;
  bool valid = ReadHeader(env, fd, &h);
  if (valid) {
    TORBWriteGuard* guard = db.WriteGuard;
    db.WriteGuard = nullptr;  // playback is not itself journaled
    try {
      int64_t pos = kHeaderBytes;
      std::vector<uint8_t> data;
      for (;;) {
        uint8_t head[kRecordHead];
        size_t got = 0;
        if (env->PRead(fd, head, sizeof head, pos, &got) || got != sizeof head) break;
        const int64_t offset = GetLE<int64_t>(head);
        const uint32_t len = GetLE<uint32_t>(head + 8);
        if (offset < 0 || len == 0 || len > (1u << 20) || offset + len > h.originalSize) break;
        data.resize(len);
        if (env->PRead(fd, data.data(), len, pos + kRecordHead, &got) || got != len) break;
        if (RecordCrc(h.nonce, offset, len, data.data()) != GetLE<uint32_t>(head + 12)) break;
        db.WriteBuffer(data.data(), kErrJournal, offset, len);
        pos += kRecordHead + len;
      }
      db.SetSize(h.originalSize);
      db.FlushFileBuffers();
    } catch (...) {
      db.WriteGuard = guard;
      env->Close(fd);
      throw;
    }
    db.WriteGuard = guard;
  }
  env->Close(fd);
  r = env->Unlink(path);
  if (r && r != ENOENT)
    throw EORBException::Fmt(kErrJournal, "Cannot delete journal file '%s'. ErrorCode:%d. ErrorMessage: %s", path, r,
                             OSErrorText(r));
  env->SyncDir(DirOf(path));
  return valid;
}

void ReplaceFile(const std::string& source, const std::string& target, TORBEnv* env) {
  if (!env) env = TORBEnv::Current();
  auto fail = [&](const char* what, int err) {
    throw EORBException::Fmt(31073, "Cannot replace '%s' with '%s': %s failed. ErrorCode:%d. ErrorMessage: %s", target,
                             source, what, err, OSErrorText(err));
  };
  int fd;
  int r = env->Open(source, O_RDONLY, 0, &fd);
  if (r) fail("open", r);
  r = env->Sync(fd);
  env->Close(fd);
  if (r) fail("flush", r);
  // A journal of the old file must never be played into the new one.
  r = env->Unlink(TORBJournal::PathFor(target));
  if (r && r != ENOENT) fail("journal delete", r);
  if ((r = env->SyncDir(DirOf(target)))) fail("folder flush", r);
  if ((r = env->Rename(source, target))) fail("rename", r);
  if ((r = env->SyncDir(DirOf(target)))) fail("folder flush", r);
}

}  // namespace orb
