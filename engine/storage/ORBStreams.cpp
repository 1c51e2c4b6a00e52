// Memory, file and temporary streams.
#include "storage/ORBStreams.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "orb/ORBExcept.h"
#include "storage/ORBEnv.h"
#include "storage/ORBMemory.h"

namespace orb {

// ---- base -------------------------------------------------------------------

void TORBStream::WriteExactly(const void* buffer, int64_t count, int32_t code) {
  const int64_t pos = Position();
  const int64_t done = count > 0 ? Write(buffer, count) : 0;
  if (done != count)
    throw EORBException::Fmt(code, "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                             pos, GetSize(), count, done);
}

void TORBStream::ReadExactly(void* buffer, int64_t count, int32_t code) {
  const int64_t pos = Position();
  const int64_t done = count > 0 ? Read(buffer, count) : 0;
  if (done != count)
    throw EORBException::Fmt(code, "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                             pos, GetSize(), count, done);
}

void TORBStream::SetPositionChecked(int64_t position, int32_t code) {
  const int64_t before = Position();
  if (position < 0 || Seek(position, soBeginning) != position)
    throw EORBException::Fmt(code, "Cannot set stream position to %d. Position = %d, Size = %d", position, before,
                             GetSize());
}

int64_t TORBStream::CopyFrom(TORBStream& source, int64_t count) {
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 1), 1 << 20)));
  int64_t done = 0;
  int lastPercent = -1;
  while (done < count) {
    const int64_t n = source.Read(buf.data(), std::min<int64_t>(count - done, static_cast<int64_t>(buf.size())));
    if (n <= 0) break;
    if (Write(buf.data(), n) != n) break;
    done += n;
    const int percent = static_cast<int>(done * 100 / count);
    if (OnProgress && percent != lastPercent) OnProgress(lastPercent = percent);
  }
  return done;
}

// ---- memory -----------------------------------------------------------------

TORBMemoryStream::~TORBMemoryStream() { TORBMemoryManager::Instance().FreeMem(data_); }

void TORBMemoryStream::Clear() {
  TORBMemoryManager::Instance().FreeMem(data_);
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
}

void TORBMemoryStream::Reserve(int64_t needed) {
  if (needed <= capacity_) return;
  const int64_t capacity = needed * 2;
  data_ = static_cast<uint8_t*>(TORBMemoryManager::Instance().ReallocMem(data_, static_cast<size_t>(capacity)));
  capacity_ = capacity;
}

int64_t TORBMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  const int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TORBMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  Reserve(end);
  if (position_ > size_) std::memset(data_ + size_, 0, static_cast<size_t>(position_ - size_));
  std::memcpy(data_ + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  size_ = std::max(size_, end);
  return count;
}

int64_t TORBMemoryStream::Seek(int64_t offset, int origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : size_;
  if (base + offset >= 0) position_ = base + offset;
  return position_;
}

void TORBMemoryStream::SetSize(int64_t size) {
  if (size < 0) return;
  Reserve(size);
  if (size > size_) std::memset(data_ + size_, 0, static_cast<size_t>(size - size_));
  size_ = size;
  position_ = std::min(position_, size_);
}

// ---- file -------------------------------------------------------------------

TORBFileStream::TORBFileStream(const std::string& name, int mode, bool temporary, TORBEnv* env)
    : env_(env ? env : TORBEnv::Current()), name_(name), temporary_(temporary) {
  int r;
  if (mode == fmCreate) {
    r = env_->Open(name, O_RDWR | O_CREAT | O_TRUNC, 0644, &fd_);
    if (r) {
      fd_ = -1;
      throw EORBException::Fmt(10104, "Cannot create file. FileName = %s", name);
    }
  } else {
    r = env_->Open(name, (mode & 3) == fmOpenRead ? O_RDONLY : O_RDWR, 0, &fd_);
    if (r) {
      fd_ = -1;
      throw EORBException::Fmt(10105, "Cannot open file. FileName = %s, Mode = %d", name, mode);
    }
  }
}

TORBFileStream::~TORBFileStream() {
  if (fd_ >= 0) env_->Close(fd_);
  if (temporary_) env_->Unlink(name_);
}

int64_t TORBFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  size_t done = 0;
  env_->PRead(fd_, buffer, static_cast<size_t>(count), position_, &done);
  position_ += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

int64_t TORBFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (env_->PWrite(fd_, buffer, static_cast<size_t>(count), position_)) return 0;
  position_ += count;
  return count;
}

int64_t TORBFileStream::Seek(int64_t offset, int origin) {
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : GetSize();
  if (base + offset >= 0) position_ = base + offset;
  return position_;
}

int64_t TORBFileStream::GetSize() {
  int64_t size = 0;
  return env_->FileSize(fd_, &size) == 0 ? size : 0;
}

void TORBFileStream::SetSize(int64_t size) {
  if (size >= 0) env_->Truncate(fd_, size);
}

// ---- scratch files ----------------------------------------------------------

void TORBScratchFile::Create() {
  Close();
  const char* dir = getenv("TMPDIR");
  std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/ORBXXXXXX";
  fd_ = mkstemp(tmpl.data());
  if (fd_ < 0) throw EORBException::Fmt(10104, "Cannot create file. FileName = %s", tmpl);
  ::unlink(tmpl.c_str());
}

void TORBScratchFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---- temporary --------------------------------------------------------------

TORBTemporaryStream::TORBTemporaryStream(bool memoryOnly) : memoryOnly_(memoryOnly) {}

TORBTemporaryStream::~TORBTemporaryStream() = default;

void TORBTemporaryStream::MoveToFile() {
  file_.Create();
  if (memory_.GetSize() > 0 &&
      TORBEnv::Default()->PWrite(file_.Fd(), memory_.Data(), static_cast<size_t>(memory_.GetSize()), 0)) {
    file_.Close();
    throw EORBException("Error writing to stream", 10125);
  }
  position_ = memory_.Position();
  memory_.Clear();
}

int64_t TORBTemporaryStream::Read(void* buffer, int64_t count) {
  if (!file_.IsOpen()) return memory_.Read(buffer, count);
  if (count <= 0) return 0;
  size_t done = 0;
  TORBEnv::Default()->PRead(file_.Fd(), buffer, static_cast<size_t>(count), position_, &done);
  position_ += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

int64_t TORBTemporaryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!file_.IsOpen()) {
    if (memoryOnly_ || memory_.Position() + count <= kMemoryLimit) return memory_.Write(buffer, count);
    MoveToFile();
  }
  if (TORBEnv::Default()->PWrite(file_.Fd(), buffer, static_cast<size_t>(count), position_)) return 0;
  position_ += count;
  return count;
}

int64_t TORBTemporaryStream::Seek(int64_t offset, int origin) {
  if (!file_.IsOpen()) return memory_.Seek(offset, origin);
  const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : GetSize();
  if (base + offset >= 0) position_ = base + offset;
  return position_;
}

int64_t TORBTemporaryStream::GetSize() {
  if (!file_.IsOpen()) return memory_.GetSize();
  int64_t size = 0;
  TORBEnv::Default()->FileSize(file_.Fd(), &size);
  return size;
}

void TORBTemporaryStream::SetSize(int64_t size) {
  if (!file_.IsOpen()) {
    if (memoryOnly_ || size <= kMemoryLimit) return memory_.SetSize(size);
    MoveToFile();
  }
  if (size < 0) return;
  TORBEnv::Default()->Truncate(file_.Fd(), size);
  position_ = std::min(position_, size);
}

}  // namespace orb
