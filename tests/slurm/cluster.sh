# A one-node Slurm cluster on this machine for the tests: munged, slurmctld
# and slurmd with their configuration, keys, state and logs in one temporary
# folder, on the loopback. Source it, then call start_cluster; stop_cluster
# ends exactly the daemons it started.
#   start_cluster DIR   sets SLURM_CONF for the commands (sbatch, squeue, ...)

cluster_pids=()

install_slurm() {
  if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null || ! command -v sbatch >/dev/null ||
    ! command -v munged >/dev/null; then
    echo "installing slurm-wlm and munge" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 slurm-wlm munge >/dev/null
  fi
}

start_cluster() {
  local dir=$1 host cpus
  host=$(hostname -s)
  cpus=$(nproc)
  mkdir -p "$dir/state" "$dir/spool" "$dir/munge"
  chmod 700 "$dir/munge"
  mungekey --create --keyfile="$dir/munge/munge.key" --force
  chmod 600 "$dir/munge/munge.key"
  munged --key-file="$dir/munge/munge.key" --socket="$dir/munge/munge.socket" --pid-file="$dir/munge/munged.pid" \
    --log-file="$dir/munge/munged.log" --seed-file="$dir/munge/munged.seed" --foreground --force \
    >"$dir/munge/munged.out" 2>&1 &
  cluster_pids+=($!)

  cat >"$dir/slurm.conf" <<CONF
ClusterName=drapeontest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool/%n
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
SlurmctldTimeout=30
SlurmdTimeout=30
InactiveLimit=0
KillWait=5
MinJobAge=300
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF=$dir/slurm.conf
  # Wait for munged's socket before the daemons that use it
  for _ in $(seq 100); do [ -S "$dir/munge/munge.socket" ] && break; sleep 0.1; done
  slurmctld -D -i -f "$SLURM_CONF" >"$dir/slurmctld.out" 2>&1 &
  cluster_pids+=($!)
  slurmd -D -f "$SLURM_CONF" >"$dir/slurmd.out" 2>&1 &
  cluster_pids+=($!)
  # The node is up when sinfo shows it idle
  local state=""
  for _ in $(seq 120); do
    state=$(sinfo -h -N -o '%t' 2>/dev/null | head -n 1 || true)
    [ "$state" = "idle" ] && return 0
    sleep 0.5
  done
  echo "the test cluster did not come up (node state: '${state}'); logs in $dir:" >&2
  tail -n 20 "$dir/slurmctld.log" "$dir/slurmd.log" "$dir/slurmctld.out" "$dir/slurmd.out" >&2 || true
  return 1
}

stop_cluster() {
  local pid
  for pid in "${cluster_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${cluster_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  cluster_pids=()
}
