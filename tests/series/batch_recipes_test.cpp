// The batch recipes of docs/file-series.md, run as they stand from docs/examples/: a Slurm job
// array on a one-node Slurm started here (as root), and GNU parallel, each over 9 real frames in
// chunks of 3 (on Slurm two tasks of two chunks each, the last chunk past the frames left out),
// merged with --stack-rows and compared bit for bit with one run over all frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace {

const std::filesystem::path kExamples = std::filesystem::path(LV_SOURCE_DIR) / "docs" / "examples";

// The shell that sets a run up, runs the recipe of `mode` and compares; 0 when the merged
// scans equal the whole run's.
std::string Driver(const std::filesystem::path& image, const std::filesystem::path& poni,
                   const std::string& mode) {
  const std::string program = std::filesystem::path(LV_PROGRAM).parent_path().string();
  return R"(set -euo pipefail
D=$PWD
EX=')" + kExamples.string() + R"('
export PATH=')" + program + R"(':$PATH
mkdir -p run
for i in 1 2 3 4 5 6 7 8 9; do ln -s ')" + image.string() + R"(' run/frame_$i.tif; echo frame_$i.tif >> run/frames.txt; done
cp ')" + poni.string() + R"(' run/calibration.poni
export RUN=$D/run FIRST_FRAME=frame_1.tif
mkdir whole && (cd whole && FIRST=1 LAST=9 CHUNK=whole lumivane --script "$EX/integrate.lvs" > out.txt 2>&1)
mkdir batch && cd batch && cp "$EX/integrate.lvs" .
if [ ")" + mode + R"(" = slurm ]; then
  S=$D/slurm; mkdir -p $S/state $S/spool $S/munge; chmod 700 $S/munge
  cp /etc/munge/munge.key $S/munge.key; chmod 600 $S/munge.key
  stop() { for p in $S/slurmd.pid $S/slurmctld.pid $S/munge/munged.pid; do [ -f $p ] && kill $(cat $p) 2>/dev/null || true; done; }
  trap stop EXIT
  munged -f --socket=$S/munge/munge.sock --pid-file=$S/munge/munged.pid --key-file=$S/munge.key --seed-file=$S/munge/seed --log-file=$S/munged.log
  H=$(hostname -s); P=$((20000 + $$ % 20000))
  cat > $S/slurm.conf <<CONF
ClusterName=lv
SlurmctldHost=$H
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$S/munge/munge.sock
CredType=cred/munge
StateSaveLocation=$S/state
SlurmdSpoolDir=$S/spool
SlurmctldPidFile=$S/slurmctld.pid
SlurmdPidFile=$S/slurmd.pid
SlurmctldLogFile=$S/slurmctld.log
SlurmdLogFile=$S/slurmd.log
SlurmctldPort=$P
SlurmdPort=$((P + 1))
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
ReturnToService=2
NodeName=$H CPUs=$(nproc) State=UNKNOWN
PartitionName=debug Nodes=$H Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF=$S/slurm.conf
  slurmctld -f $S/slurm.conf; slurmd -f $S/slurm.conf
  for i in $(seq 1 30); do sinfo -h -o %t 2>/dev/null | grep -q idle && break; sleep 1; done
  sbatch --wait --array=0-1 --cpus-per-task=1 --export=ALL,SIZE=3,RUNS=2 "$EX/integrate-array.sbatch" > sbatch.txt
else
  SIZE=3 bash "$EX/integrate-parallel.sh" > parallel.txt 2>&1
fi
bash "$EX/merge.sh"
cmp all_scans1.bsl ../whole/chunk_whole_1.bsl
)";
}

TEST(BatchRecipes, TheDocumentShowsTheRecipesAsTheyStand) {
  const std::string document = ReadFile((kExamples.parent_path() / "file-series.md").string());
  for (const char* name : {"integrate.lvs", "integrate-array.sbatch", "integrate-parallel.sh",
                           "merge.sh"}) {
    EXPECT_NE(document.find("\n" + ReadFile((kExamples / name).string()) + "```"),
              std::string::npos)
        << name;
  }
}

TEST(BatchRecipes, ChunksMergedEqualOneRunOnSlurmAndWithParallel) {
  const auto data = SharedData();
  const auto image = data / "CeO2_Pilatus1M.tif", poni = data / "CeO2_Pilatus1M.poni";
  if (data.empty() || !std::filesystem::exists(image)) GTEST_SKIP() << "no shared detector files";
  for (const std::string mode : {"parallel", "slurm"}) {
    SCOPED_TRACE(mode);
    const bool slurm = mode == "slurm";
    if (std::system(slurm ? "command -v slurmctld slurmd sbatch munged > /dev/null 2>&1"
                          : "command -v parallel > /dev/null 2>&1") != 0) {
      LV_REFERENCE_MISSING(mode + " is not installed");
    }
    if (slurm && geteuid() != 0) GTEST_SKIP() << "Slurm's daemons start only as root here";
    ScratchDir dir;
    WriteFile(dir.File("driver.sh"), Driver(image, poni, mode));
    const std::string command = "cd '" + dir.path().string() +
                                "' && timeout 240 bash driver.sh > driver.txt 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0)
        << ReadFile(dir.File("driver.txt")) << ReadFile(dir.File("batch/sbatch.txt"))
        << ReadFile(dir.File("batch/parallel.txt")) << ReadFile(dir.File("whole/out.txt"));
  }
}

}  // namespace
