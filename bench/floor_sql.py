#!/usr/bin/env python3
"""The statements the import sends for a tree, for the native floor: one folder insert and one
id query per folder, a file row and a digest row per file, in the import's order.

Usage: floor_sql.py <tree> <md5sum output>   (ids are those a fresh schema hands out)
"""
import os
import sys


def q(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def main(tree, sums):
    digests = {}
    with open(sums, encoding="utf-8") as f:
        for line in f:
            digest, path = line.rstrip("\n").split("  ", 1)
            digests[os.path.normpath(path)] = digest
    out = sys.stdout
    next_id = [0]

    def walk(folder, fil_dir, parent):
        entries = sorted(os.listdir(folder))
        subs = []
        for e in entries:
            path = os.path.join(folder, e)
            if os.path.isdir(path):
                clean = e.replace("&", " ").replace("'", " ").replace("%", " ")
                out.write("insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
                          f"values('Public',{q(clean)},{q(parent)},1,'1','admin');\n")
                out.write("Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID='Public';\n")
                next_id[0] += 1
                subs.append((path, fil_dir + "/" + clean, str(next_id[0])))
            else:
                size = str(os.path.getsize(path))
                fil = fil_dir + "/" + e
                out.write("insert into PtpFile(Msg_ID,MyID,UsName,TypePath,PcSize,PtpFolderID,FilPath,"
                          "To_Type,FileState,CreatorID,CreatorName) values("
                          f"'0123456789ABCDEF0123456789ABCDEF','Public','admin',{q(e)},{q(size)},"
                          f"{q(parent)},{q(fil)},1,1,'1','admin');\n")
                out.write("insert into MD5File(MyID,FormFileType,TypePath,PcSize,FilPath,MD5Hash) "
                          f"values('1',1,{q(e)},{q(size)},{q(fil)},{q(digests[os.path.normpath(path)])});\n")
        for sub in subs:
            walk(*sub)

    walk(tree, "DownLoad/Public", "0")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
