# A scripted updater for the fault tests. Each run reads its steps from scenario.json beside it,
# per mode; the n-th run of a mode takes the n-th entry (the last one repeats). It records every
# run in runs.jsonl, and it can wait for the test (waitFor) and tell it how far it got (touch).
import json, os, signal, sys, time

here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
with open(os.path.join(here, "runs.jsonl"), "a") as record:
    record.write(json.dumps({"argv": sys.argv, "pid": os.getpid()}) + "\n")
mode = "check" if "--check" in args else "update" if "--update-only" in args else "play"


def on_term(signum, frame):
    open(os.path.join(here, "terminated"), "w").close()
    os._exit(143)


signal.signal(signal.SIGTERM, on_term)
counter = os.path.join(here, "count-" + mode)
count = int(open(counter).read()) if os.path.exists(counter) else 0
with open(counter, "w") as file:
    file.write(str(count + 1))
runs = json.load(open(os.path.join(here, "scenario.json"))).get(mode, [{}])
run = runs[min(count, len(runs) - 1)]

out = sys.stdout.buffer
closed = False
for step in run.get("out", []):
    if isinstance(step, str):
        out.write(step.encode())
    elif "repeat" in step:
        piece = step["repeat"].encode()
        for _ in range(step["times"]):
            out.write(piece)
    elif "close" in step:
        # Both ends of the shared pipe that this process holds; it keeps running.
        out.flush()
        os.close(1)
        os.close(2)
        closed = True
    elif "touch" in step:
        open(os.path.join(here, step["touch"]), "w").close()
    elif "waitFor" in step:
        deadline = time.monotonic() + 120
        while not os.path.exists(os.path.join(here, step["waitFor"])):
            if time.monotonic() > deadline:
                os._exit(3)
            time.sleep(0.01)
    if not closed:
        out.flush()
time.sleep(run.get("sleep", 0))
while run.get("forever"):
    time.sleep(1)
os._exit(run.get("exit", 0))
