// Writes seed inputs for the fuzz targets, made with the engine itself:
// compressed buffers, compressed streams, variants, metadata, databases and
// filter texts.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "storage/ORBCompressedStream.h"
#include "storage/ORBCompression.h"
#include "storage/ORBDiskPageManager.h"
#include "storage/ORBSystemFiles.h"
#include "tables/ORBDatabaseData.h"
#include "tables/ORBDiskTableData.h"
#include "tables/ORBMetaData.h"

namespace {

void Save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  mkdir(dir.c_str(), 0755);
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> Slurp(const std::string& path) {
  std::vector<uint8_t> v;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return v;
  int c;
  while ((c = std::fgetc(f)) != EOF) v.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orb;
  const std::string root = argc > 1 ? argv[1] : "corpus";
  mkdir(root.c_str(), 0755);
  std::string text;
  for (int i = 0; i < 60; ++i) text += "password vault record ";
  const std::vector<uint8_t> plain(text.begin(), text.end());
  for (uint8_t alg : {caZlib, caBzip, caPPM}) {
    std::vector<uint8_t> packed;
    CompressBuffer(alg, 3, plain.data(), plain.size(), packed);
    const size_t quarter = plain.size() / 4;
    std::vector<uint8_t> seed = {static_cast<uint8_t>(alg - 1), static_cast<uint8_t>(quarter >> 8),
                                 static_cast<uint8_t>(quarter & 0xFF)};
    seed.insert(seed.end(), packed.begin(), packed.end());
    Save(root + "/decompress", "alg" + std::to_string(alg), seed);

    TORBMemoryStream base;
    TORBCompressedStreamInfo info{1024, 0, 0, 0, alg, 3};
    TORBCompressedBLOBStream s(base, false, true, info);
    s.Write(plain.data(), static_cast<int64_t>(plain.size()));
    const auto stored = s.Info();
    std::vector<uint8_t> header = {alg, 2, 0, static_cast<uint8_t>(stored.BlockCount), 0, 0, 0, 0};
    header.insert(header.end(), base.Data(), base.Data() + base.GetSize());
    Save(root + "/compressed_stream", "alg" + std::to_string(alg), header);
  }
  std::vector<uint8_t> variants;
  TORBVariant v;
  v.SetString("2008-02-01", stString);
  v.SaveToStream(variants);
  v.SetDate(DayNumber(2008, 2, 1));
  v.SaveToStream(variants);
  Save(root + "/variant", "date", variants);
  variants.clear();
  v.SetInteger(-5, stSmallInt);
  v.SaveToStream(variants);
  v.SetFloat(2.5, stCurrency);
  v.SaveToStream(variants);
  Save(root + "/variant", "numbers", variants);

  TORBTableMetaData m;
  for (uint8_t t : {uint8_t{1}, uint8_t{7}, uint8_t{12}, uint8_t{25}, uint8_t{33}}) {
    TORBFieldDef f;
    f.Name = "F" + std::to_string(t);
    f.SetType(t, t == 1 ? 10 : 0);
    m.Fields.Add(f);
  }
  m.Fields[0].DefaultValue.SetString("x", stString);
  TORBIndexDef idx;
  idx.Name = "ByF1";
  idx.AssignColumns({"F1"}, {"DESC"}, {"NO_CASE"});
  m.Indexes.Add(idx);
  TORBConstraintDef c;
  c.ConstraintType = ctCheck;
  c.Name = "chk";
  c.Object = {"F7", 2};
  c.MinValue.SetInteger(0, stInteger);
  m.Constraints.Add(c);
  Save(root + "/metadata", "table", m.Save());

  for (std::string pw : {"", "pw"}) {
    const std::string path = root + "/seed.orb";
    {
      TORBDiskPageManager pm;
      pm.CreateDatabaseFile(path, TORBPassword{pw, 0}, 8, 512);
      TORBSystemFiles sys(pm);
      sys.Create(8);
      TORBInternalDBTransactedAccessFile meta(pm, ptTableMetaData);
      meta.Create(kSystemSession);
      auto bytes = m.Save();
      meta.WriteFile(kSystemSession, bytes.data(), static_cast<int32_t>(bytes.size()), 1, 6);
      sys.TableList.Add({"T", pm.GetNextObjectID(), meta.StartPageNo, meta.StartPageNo, 3});
      sys.TableList.Save();
      pm.ApplyChanges(kSystemSession);
    }
    Save(root + "/database_file", pw.empty() ? "plain" : "encrypted", Slurp(path));
    std::remove(path.c_str());
  }

  // A table with an index and BLOB values, small pages, plain and encrypted.
  for (std::string pw : {"", "pw"}) {
    const std::string path = root + "/table.orb";
    TORBDiskDatabaseData::CreateDatabase(path, TORBPassword{pw, 0}, 512);
    {
      TORBDiskDatabaseData db(path, TORBPassword{pw, 0});
      TORBFieldDefs f;
      TORBFieldDef id, s, memo;
      id.Name = "ID";
      id.SetType(7);
      s.Name = "S";
      s.SetType(2, 30);
      memo.Name = "M";
      memo.SetType(33);
      memo.BlobBlockSize = 4096;
      memo.BlobCompressionAlgorithm = 1;
      memo.BlobCompressionMode = 1;
      f.Add(id);
      f.Add(s);
      f.Add(memo);
      TORBIndexDefs ix;
      TORBIndexDef byS;
      byS.Name = "ByS";
      byS.Columns = {{"S", true, false, 8}};
      ix.Add(byS);
      TORBDiskTableData& t = db.GetTableData("T");
      t.CreateTable(0, f, ix, {});
      TORBTableCursor c;
      t.OpenTable(c);
      for (int i = 0; i < 5; ++i) {
        c.Record = t.NewRecord();
        SetFieldData(0, t.Fields(), c.Record.data(), &i);
        const std::string v = "value " + std::to_string(i * 37) + " with a longer tail";
        SetFieldData(1, t.Fields(), c.Record.data(), v.c_str());
        t.SetBlobValue(c, 2, std::vector<uint8_t>(static_cast<size_t>(i == 0 ? 1300 : 30 * i), static_cast<uint8_t>('a' + i)));
        t.InsertRecord(c);
      }
      t.CloseTable(c);
    }
    Save(root + "/database_file", pw.empty() ? "table-plain" : "table-encrypted", Slurp(path));
    std::remove(path.c_str());
  }

  // Filter texts as the vault writes them, and the rest of the language.
  const char* const filters[] = {
      " UPPER([SERVICE]) LIKE '%AB''C%' OR UPPER([PASSWORD]) LIKE '%AB''C%'OR UPPER([USERNAME]) LIKE '%AB''C%'",
      "[CAT] = 'Banking' AND [CAT] NOT LIKE '*%Banking' OR [CAT] = 'WEB*' AND [CAT] NOT LIKE '*%WEB*'",
      "DateSet >= '01/02/2008' and [CAT] NOT LIKE '%*%'",
      "DateReSet >= '2008-03-01' AND [DateReset] <='2008-04-01' and [CAT] NOT LIKE '%*%'",
      "N BETWEEN -1 AND 2.5E1 AND NOT N IN (1, 2) OR (N = 3) IS NOT UNKNOWN",
      "CASE N WHEN 3 THEN 'x' ELSE SUBSTRING(SERVICE FROM 2 FOR 3) END || TRIM(CAT) LIKE 'a!_%' ESCAPE '!'",
      "TOSTRING(TODATE('01/02/08 1:05 PM', 'DD/MM/YY H:NN AMPM'), 'YYYY-MM-DD HH24 DAY MONTH RM Q DY DW') <> ''",
      "CAST(N AS VARCHAR(3)) = COALESCE(NULL, '3') AND POSITION('a' IN SERVICE) >= LENGTH(CAT) - 2 /* c */",
      "ROUND(F * 2.5 / 3, 1, HALFUP) + POWER(2, N) - SQRT(ABS(N)) > EXTRACT(YEAR FROM DateSet) -- c",
      "DateSet - 30 < DATE '2008-02-01' OR DateSet = TIMESTAMP '2008-02-01 00:00:00' OR SUM(N) > COUNT(*)",
  };
  int n = 0;
  for (const char* f : filters) {
    std::string text(1, static_cast<char>(n % 4));  // the options byte
    text += f;
    Save(root + "/expression", "filter" + std::to_string(n++), std::vector<uint8_t>(text.begin(), text.end()));
  }
  return 0;
}
