#include "app/core/sharding.h"

#include <filesystem>
#include <map>

#include "app/core/profiles.h"
#include "media/textutils.h"

namespace {

constexpr int kMaxShards = 1000000;

bool ParseCount(const std::string& text, int& v) {
  int32_t n;
  if (!IsInteger(TrimText(text), &n) || n < 0) return false;
  v = n;
  return true;
}

// A path starts with `root` as a whole folder name ("/data" covers "/data/x", not "/database").
bool StartsWithRoot(const std::string& path, const std::string& root) {
  if (root.empty() || path.compare(0, root.size(), root) != 0) return false;
  return path.size() == root.size() || path[root.size()] == '/' || root == "/";
}

std::string WithoutTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string Replace(const std::string& path, const std::string& from, const std::string& to) {
  if (from == "/") return to == "/" ? path : to + path;
  std::string rest = path.substr(from.size());
  return to == "/" ? (rest.empty() ? "/" : rest) : to + rest;
}

}  // namespace

bool ParseShardText(const std::string& text, TShardSpec& spec, std::string& err) {
  const size_t slash = text.find('/');
  int index = -1, count = 0;
  if (slash == std::string::npos || !ParseCount(text.substr(0, slash), index) ||
      !ParseCount(text.substr(slash + 1), count) || count < 1 || count > kMaxShards || index >= count) {
    err = "invalid shard '" + text + "' (I/N: shard I of N, counted from 0, so 0 <= I < N)";
    return false;
  }
  spec.Index = index;
  spec.Count = count;
  return true;
}

bool ChooseShard(const std::string& explicitShard, int shardsOption, const TEnvLookup& env, TShardSpec& spec,
                 std::string& err, std::vector<std::string>& notes) {
  spec = TShardSpec{};
  auto get = [&](const char* name) -> std::string {
    const char* v = env(name);
    return v ? v : "";
  };
  if (!explicitShard.empty()) {
    if (!ParseShardText(explicitShard, spec, err)) return false;
    spec.Source = "--shard";
    if (shardsOption > 0 && shardsOption != spec.Count)
      return err = "--shards " + std::to_string(shardsOption) + " disagrees with --shard " + explicitShard, false;
    return true;
  }
  const std::string slurmId = get("SLURM_ARRAY_TASK_ID");
  const std::string k8sIndex = get("JOB_COMPLETION_INDEX");
  if (!slurmId.empty()) {
    int id = 0, min = 0, step = 1, count = shardsOption;
    if (!ParseCount(slurmId, id)) return err = "SLURM_ARRAY_TASK_ID='" + slurmId + "' is not a task number", false;
    const std::string minText = get("SLURM_ARRAY_TASK_MIN"), stepText = get("SLURM_ARRAY_TASK_STEP"),
                      countText = get("SLURM_ARRAY_TASK_COUNT");
    if (!minText.empty() && !ParseCount(minText, min))
      return err = "SLURM_ARRAY_TASK_MIN='" + minText + "' is not a task number", false;
    if (!stepText.empty() && (!ParseCount(stepText, step) || step < 1))
      return err = "SLURM_ARRAY_TASK_STEP='" + stepText + "' is not a step", false;
    if (count <= 0 && (countText.empty() || !ParseCount(countText, count) || count < 1))
      return err = "SLURM_ARRAY_TASK_ID is set but SLURM_ARRAY_TASK_COUNT is not a count; give --shards N", false;
    if (id < min || (id - min) % step != 0 || (id - min) / step >= count)
      return err = "array task " + slurmId + " is not one of " + std::to_string(count) + " tasks from " +
                   std::to_string(min) + " in steps of " + std::to_string(step),
             false;
    spec.Index = (id - min) / step;
    spec.Count = count;
    spec.Source = "SLURM_ARRAY_TASK_ID";
    return true;
  }
  if (!k8sIndex.empty()) {
    if (shardsOption <= 0) {
      notes.push_back("JOB_COMPLETION_INDEX is set but --shards is not given: the whole list is converted");
      return true;
    }
    int index = 0;
    if (!ParseCount(k8sIndex, index) || index >= shardsOption)
      return err = "JOB_COMPLETION_INDEX='" + k8sIndex + "' is not an index below --shards " +
                   std::to_string(shardsOption),
             false;
    spec.Index = index;
    spec.Count = shardsOption;
    spec.Source = "JOB_COMPLETION_INDEX";
    return true;
  }
  if (shardsOption > 0)
    return err = "--shards needs the index from JOB_COMPLETION_INDEX or SLURM_ARRAY_TASK_ID (or use --shard I/N)",
           false;
  return true;
}

bool TPathMap::Add(const std::string& rule, std::string& err) {
  const size_t eq = rule.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == rule.size() || rule[0] != '/' || rule[eq + 1] != '/') {
    err = "invalid --map-root '" + rule + "' (FROM=TO, two absolute folder names)";
    return false;
  }
  rules_.emplace_back(WithoutTrailingSlash(rule.substr(0, eq)), WithoutTrailingSlash(rule.substr(eq + 1)));
  return true;
}

std::string TPathMap::Local(const std::string& path) const {
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& r : rules_)
    if (StartsWithRoot(path, r.first) && (!best || r.first.size() > best->first.size())) best = &r;
  return best ? Replace(path, best->first, best->second) : path;
}

std::string TPathMap::Shared(const std::string& path) const {
  const std::pair<std::string, std::string>* best = nullptr;
  for (const auto& r : rules_)
    if (StartsWithRoot(path, r.second) && (!best || r.second.size() > best->second.size())) best = &r;
  return best ? Replace(path, best->second, best->first) : path;
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  const std::filesystem::path whole = path[0] == '/' ? std::filesystem::path(path)
                                                     : std::filesystem::current_path(ec) / path;
  return WithoutTrailingSlash(whole.lexically_normal().string());
}

TShardJobs SelectShardJobs(const std::vector<TJobSettings>& list, const TShardSpec& shard, const TPathMap& map,
                           bool numberOutputs) {
  TShardJobs result;
  std::map<std::string, int32_t> seen;  // source name without extension -> jobs so far
  for (size_t k = 0; k < list.size(); ++k) {
    const std::string& path = list[k].Job.SourceFile;
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const int32_t number = seen[name.substr(0, name.rfind('.'))]++;
    if (!shard.Contains(k)) continue;
    TJobSettings s = list[k];
    if (numberOutputs) s.FirstOutputNumber = number;
    // Without a map the names stay as given (relative names too), as in any run.
    const std::string local = map.Empty() ? path : map.Local(AbsolutePath(path));
    result.Shared.push_back(map.Shared(AbsolutePath(local)));
    s.Job.SourceFile = local;
    if (!map.Empty())
      for (TWmRec& item : s.Job.WaterMarks)
        if (item.Kind == wmkImage && !item.ImageFile.empty()) item.ImageFile = map.Local(AbsolutePath(item.ImageFile));
    result.Jobs.push_back(std::move(s));
    result.Ids.push_back(int(k));
  }
  return result;
}
