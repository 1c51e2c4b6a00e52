// Byte streams used for BLOB values and scratch data: a base class with
// checked helpers, and memory, file and temporary (memory, then file) streams.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace orb {

class TORBEnv;

enum TORBSeekOrigin : int { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TORBStream {
 public:
  virtual ~TORBStream() = default;
  // Bytes transferred; fewer than asked at the end of the stream.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // The new position; a negative target is refused (the position stays).
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int64_t GetSize() = 0;
  virtual void SetSize(int64_t size) = 0;
  int64_t Position() { return Seek(0, soCurrent); }

  // Raise with the caller's code unless exactly `count` bytes moved.
  void WriteExactly(const void* buffer, int64_t count, int32_t code);
  void ReadExactly(void* buffer, int64_t count, int32_t code);
  // Raises unless the position could be set.
  void SetPositionChecked(int64_t position, int32_t code);
  // Copies `count` bytes from `source`'s position, reporting progress.
  int64_t CopyFrom(TORBStream& source, int64_t count);

  // Serialises users of one stream; lock()/unlock() let std::lock_guard do it.
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }
  // Percentage done during CopyFrom.
  std::function<void(int percent)> OnProgress;

 private:
  std::recursive_mutex mutex_;
};

class TORBMemoryStream : public TORBStream {
 public:
  TORBMemoryStream() = default;
  ~TORBMemoryStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t GetSize() override { return size_; }
  void SetSize(int64_t size) override;
  const uint8_t* Data() const { return data_; }
  uint8_t* Data() { return data_; }
  int64_t Capacity() const { return capacity_; }
  // Empties the stream and gives its buffer back.
  void Clear();

 private:
  void Reserve(int64_t needed);
  uint8_t* data_ = nullptr;
  int64_t size_ = 0, capacity_ = 0, position_ = 0;
};

class TORBFileStream : public TORBStream {
 public:
  enum Mode { fmOpenRead = 0, fmOpenReadWrite = 2, fmCreate = 0xFFFF };
  // fmCreate creates (or empties) the file; `temporary` deletes it when closed.
  TORBFileStream(const std::string& name, int mode, bool temporary = false, TORBEnv* env = nullptr);
  ~TORBFileStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t GetSize() override;
  void SetSize(int64_t size) override;
  const std::string& FileName() const { return name_; }

 private:
  TORBEnv* env_;
  std::string name_;
  int fd_ = -1;
  bool temporary_;
  int64_t position_ = 0;
};

// An unlinked scratch file "ORB…" in the temporary folder: it disappears
// with its descriptor, even when the process dies.
class TORBScratchFile {
 public:
  TORBScratchFile() = default;
  ~TORBScratchFile() { Close(); }
  TORBScratchFile(const TORBScratchFile&) = delete;
  TORBScratchFile& operator=(const TORBScratchFile&) = delete;
  bool IsOpen() const { return fd_ >= 0; }
  void Create();
  void Close();
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Memory until the content would pass 1,048,576 bytes, then (unless
// memory-only) an unlinked temporary file "ORB…" in the temporary folder.
class TORBTemporaryStream : public TORBStream {
 public:
  static constexpr int64_t kMemoryLimit = 1048576;
  explicit TORBTemporaryStream(bool memoryOnly);
  ~TORBTemporaryStream() override;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int64_t GetSize() override;
  void SetSize(int64_t size) override;
  bool OnFile() const { return file_.IsOpen(); }

 private:
  void MoveToFile();
  bool memoryOnly_;
  TORBMemoryStream memory_;
  TORBScratchFile file_;
  int64_t position_ = 0;
};

}  // namespace orb
