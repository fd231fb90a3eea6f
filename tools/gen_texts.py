#!/usr/bin/env python3
"""Writes src/text/texts.h: every user-visible text as its GBK bytes.

Source files stay UTF-8; the program needs the bytes of code page 936. Each
text is written as escaped bytes with the readable text in a comment.
Run: python3 tools/gen_texts.py > src/text/texts.h
"""
import string

TEXTS = [
    ("kCaptionAutoStart", "自启动", "dialog caption from the template"),
    ("kStartPlan", "启动方案", "start/stop button while idle"),
    ("kStopPlan", "停止方案", "start/stop button while a plan runs"),
    ("kExitButton", "退出", "exit button"),
    ("kHideButton", "监控隐藏", "hide button"),
    ("kRerunBox", "外退出再运行", "rerun check box"),
    ("kNotifyBox", "KVL-Orn和Malvoryn通知保存退出", "notify check box"),
    ("kDetectBox", "App检测【自动重置】【检测间隔:】", "detect check box"),
    ("kIntervalDefault", "60秒", "initial text of the interval edit"),
    ("kDelayFormat", "%d秒", "delay column of the program list"),
    ("kColumnProgram", "模型目录及程序", "program list column 0"),
    ("kColumnDirectory", "运行目录位置", "program list column 1"),
    ("kColumnCommandLine", "命令行参数", "program list column 2"),
    ("kColumnDelay", "延迟时间（秒）", "program list column 3"),
    ("kSurplusCaption", "提示", "caption of the surplus message box"),
    ("kSurplusFormat", "此行【%s  %s  %s  %s】有多于内容【%s】没有用到",
     "surplus message: fields 1, 2, 3, 5, then the surplus"),
    ("kTrayTip", "自动调度台", "tray icon tip"),
    ("kTrayShow", "显示调度窗", "tray menu: show the dialog"),
    ("kTrayClose", "关闭调度窗", "tray menu: close the program"),
    ("kTrayStartFormat", "启动方案【%s 】", "tray menu: start plan NAME"),
    ("kTrayStopFormat", "停止方案【%s 】", "tray menu: stop plan NAME"),
    ("kSocketLayerFailed", "网络初始化失败，程序无法运行。",
     "message resource 103: the socket layer did not start"),
    ("kFontFace", "宋体", "face name of the dialog font"),
    # The launcher's own report: the journal's event words and details.
    ("kEvLauncherStarted", "启动调度台", "journal: the launcher started"),
    ("kEvLauncherEnded", "退出调度台", "journal: the launcher ended"),
    ("kEvListEncoding", "列表编码", "journal: how the launch list was read"),
    ("kEvListenerOpened", "心跳监听已打开", "journal: the heartbeat listener opened"),
    ("kEvListenerFailed", "心跳监听失败", "journal: the heartbeat listener did not open"),
    ("kEvPlanStarted", "启动方案", "journal: a plan started"),
    ("kEvPlanStopped", "停止方案", "journal: a plan stopped"),
    ("kEvProgramLaunched", "启动程序", "journal: a program launched"),
    ("kEvProgramRelaunched", "重启程序", "journal: a program relaunched"),
    ("kEvLaunchFailed", "启动失败", "journal: a launch failed"),
    ("kEvProgramExited", "程序退出", "journal: a program exited by itself"),
    ("kEvHangKilled", "卡死结束", "journal: a program killed as hung"),
    ("kEvErrorReporterKilled", "结束错误报告", "journal: an error-reporting process killed"),
    ("kEvExitNoticeSent", "发送退出通知", "journal: the exit notice sent"),
    ("kEvProgramSpared", "留待存盘退出", "journal: a program spared at a stop"),
    ("kEvProgramTerminated", "停止时结束", "journal: a program terminated at a stop"),
    ("kEvProgramAsked", "要求程序退出", "journal: a stop asked a program to close (/g)"),
    ("kDetailProgramAsked", "最多等 %lld 秒", "journal: the seconds an asked program is given"),
    ("kEvGraceRejected", "参数无效", "journal: a /g value that is not 0 to 300 seconds"),
    ("kDetailGraceRejected", "/g %s 不是 0 到 300 之间的整数秒，按 0 处理：停止时立即结束程序",
     "journal: the rejected /g value"),
    ("kEvProgramClosed", "停止时退出", "journal: how a program asked to close at a stop went"),
    ("kDetailClosedCtrlC", "按 Ctrl-C 后 %s 秒退出，退出码 %s", "journal: closed on Ctrl-C: seconds, exit code"),
    ("kDetailClosedWindow", "关闭窗口后 %s 秒退出，退出码 %s", "journal: closed on WM_CLOSE: seconds, exit code"),
    ("kDetailClosedUnasked", "未能询问，%s 秒后自己退出，退出码 %s",
     "journal: no ask reached it (no console, no window), yet it ended: seconds, exit code"),
    ("kDetailClosedEnded", "%lld 秒内未退出，已结束 (111)", "journal: not closed within its seconds: ended"),
    ("kDetailClosedCut", "请它退出 %s 秒后调度台结束（会话结束或关闭），没有等满 %lld 秒，已结束 (111)",
     "journal: ended before its seconds were up, by the launcher's own end"),
    ("kEvProgramKept", "保留仍在运行的程序", "journal: a start kept a process still running"),
    ("kEvProgramEnded", "程序已结束", "journal: a program the launcher terminated has ended"),
    ("kEvDumpWritten", "写入卡死转储", "journal: a minidump of a hung program was written"),
    ("kEvDumpFailed", "卡死转储失败", "journal: a minidump of a hung program could not be written"),
    ("kDetailDump", "%s，%lld 字节，用时 %llu 毫秒", "journal: dump file, size, milliseconds"),
    ("kDumpOtherBitness", "32 位的启动器不能转储 64 位程序，未转储即结束；要转储请用 64 位版本",
     "journal: why a hung 64-bit program was killed without a dump"),
    ("kEvHeartbeatsDropped", "丢弃心跳", "journal: heartbeats dropped"),
    ("kEvLinesLost", "日志丢失", "journal: lines that could not be written"),
    ("kEvJournalOpenFailed", "日志无法打开", "journal: the file could not be opened"),
    ("kSourceButton", "按钮", "journal: a start from the button"),
    ("kSourceTrayMenu", "托盘菜单", "journal: a start from the tray menu"),
    ("kSourceAutomatic", "自动启动", "journal: the automatic start"),
    ("kDetailExit", "退出码 %s，运行 %s 秒", "journal: exit code, seconds it ran"),
    ("kDetailSilent", "静默 %lld 秒", "journal: seconds of silence before a hang kill"),
    ("kDetailRelaunch", "第 %lld 次重启", "journal: the how-manyth relaunch"),
    ("kDetailDropped", "长度不对 %lld 个，来自其他主机 %lld 个",
     "journal: heartbeats dropped by reason"),
    ("kDetailLinesLost", "%lld 行未能写入", "journal: count of lines lost"),
    ("kDetailJournalOpenFailed", "自 %s 起无法写入：%s", "journal: since when and why it could not be written"),
    ("kDetailListenerOpened", "端口 %lld，地址 %s", "journal: port and bind address"),
    ("kDetailAllAddresses", "本机所有地址", "journal: no bind address"),
    ("kDetailPortTaken", "端口已被占用", "journal: the listener's port is taken"),
    ("kDetailBadAddress", "绑定地址不是本机的 IPv4 地址", "journal: the bind address is not this machine's"),
    ("kDetailStarted", "版本 %s，心跳端口 %u，绑定地址 %s，标题 %s",
     "journal: version and settings at start"),
    ("kDetailUtf8WithMark", "带字节顺序标记的 UTF-8，已转换为 GBK",
     "journal: the list was UTF-8 with a byte-order mark"),
    ("kDetailUtf8Unmarked", "像是不带字节顺序标记的 UTF-8，按 GBK 读取：中文名称和路径会出错",
     "journal: the list looks like UTF-8 without a mark"),
    ("kDetailUtf16WithMark", "带字节顺序标记的 UTF-16 %s，已转换为 GBK",
     "journal: the list was UTF-16 LE or BE with a byte-order mark"),
    ("kDetailCharactersReplaced", "%s；其中 %lld 个字符 GBK 里没有，读成了“?”，用 listcheck 查看是哪些",
     "journal: the encoding's text, then how many characters became '?'"),
    # The status column of the program list.
    ("kColumnStatus", "状态", "program list column 4"),
    ("kStatusWaiting", "等待 %d秒", "status: seconds until the launch"),
    ("kStatusRunning", "运行 %u", "status: running, process id"),
    ("kStatusRelaunched", "重启%d次 %u", "status: relaunched N times, running, process id"),
    ("kStatusExited", "退出 %s", "status: exited with an exit code"),
    ("kStatusHangKilled", "卡死结束", "status: killed as hung"),
    ("kStatusLaunchFailed", "启动失败 %u", "status: the launch failed, Windows error"),
    ("kStatusUnticked", "未勾选", "status: the row is unticked"),
    # Taking over programs that already run, and rows that wait for them.
    ("kEvProgramAdopted", "接管已在运行的程序", "journal: a launch took over a process already running"),
    ("kDetailAdoptedDiffering", "命令行与列表不同：列表【%s】，进程【%s】",
     "journal: the adopted process's command line differs: the list's, the process's"),
    ("kEvProgramHeld", "暂不启动", "journal: a launch waits for a process that may be the row's"),
    ("kDetailHeldByLauncher", "同一程序由另一个调度台（进程 %u）监管",
     "journal: another launcher supervises the program"),
    ("kDetailHeldUnreadable", "同一程序已在运行，无法读取或接管它，不再启动第二个",
     "journal: the program runs but cannot be read or opened"),
    ("kDetailHeldAmbiguous", "同一目录里已在运行的这个程序与列表中几行的命令行都不同，无法判断属于哪一行",
     "journal: a process in the file and folder of several rows matches none"),
    ("kDetailSeparator", "；", "journal: between two parts of one detail"),
    ("kDetailAdoptedByRecord", "启动记录表明它是这一行启动的",
     "journal: a takeover decided by the launch record the process carries"),
    ("kDetailAdoptedByGuess", "没有启动记录，按程序文件、运行目录和命令行认定",
     "journal: a takeover decided without a record, by file, folder and command line"),
    ("kDetailAdoptedSurvivor", "上一个进程已退出，接管它留下的唯一进程",
     "journal: the row's process ended and the one process left in its tree is taken"),
    ("kDetailAdoptedReplacedFile", "启动记录表明它是这一行启动的；运行的是替换前的程序文件，重启这一行才会用新文件",
     "journal: taken over by its record, though the file at the row's path was replaced since"),
    ("kDetailHeldFolder", "同一程序已在运行，但运行目录与这一行不同或读不出，无法判断是否属于这一行，不再启动第二个",
     "journal: the program runs in another folder, or one that cannot be read, without a record"),
    ("kDetailHeldEnding", "上一个进程正在结束，它结束后再启动",
     "journal: the row's process was terminated and has not ended yet"),
    ("kDetailHeldReading", "程序文件或运行目录读了 2 秒还没读完（所在的网络共享可能已断开），读完后再启动",
     "journal: the row's program or folder has been read for 2 s, on a share that may be gone"),
    ("kEvTakeoverGone", "要接管的程序已退出", "journal: a process found running ended before its takeover"),
    ("kEvOldTreeEnded", "结束上一个进程留下的进程", "journal: what the ended process left in its job is ended"),
    ("kDetailOldTreeEnded", "%lld 个进程，退出码 111", "journal: how many processes were ended"),
    ("kEvLauncherInJob", "调度台在作业对象中运行",
     "journal: the launcher runs in a job its programs cannot leave"),
    ("kDetailLauncherInJob", "启动它的程序（终端、远程会话或自动化代理）的作业不允许脱离：这个作业关闭时，它启动的所有程序会一起结束",
     "journal: what follows from a job that allows no breakaway"),
    ("kEvJobUnavailable", "无法使用作业对象", "journal: a program could not be put into a job"),
    ("kDetailJobUnavailable", "%s；结束程序时只结束它本身，不含它启动的程序",
     "journal: why there is no job, and what follows"),
    ("kStatusAdopted", "接管 %u", "status: taken over, running, process id"),
    ("kStatusHeldByLauncher", "另一调度台监管 %u", "status: another launcher supervises process id"),
    ("kStatusHeldUnreadable", "已在运行 %u，无法接管", "status: running, cannot be taken over"),
    ("kStatusHeldAmbiguous", "已在运行 %u，无法判断", "status: running, cannot be told apart"),
    ("kEvCreationSlow", "创建进程缓慢", "journal: a creation has not come back for a while; the others go on"),
    ("kDetailCreationSlow", "已经 %s 秒没有完成，其他行照常启动", "journal: how long so far"),
    ("kStatusHeldEnding", "等待进程 %u 结束", "status: the row waits for its terminated process to end"),
    ("kStatusHeldReading", "等待读取程序文件", "status: the row waits for its program file or folder to be read"),
    ("kEvLauncherPriority", "调度台优先级低", "journal: the launcher runs below normal priority"),
    ("kDetailPriorityBelowNormal", "低于正常（计划任务的默认设置）；它启动的程序仍以正常优先级运行",
     "journal: below normal, as Task Scheduler starts it; programs still start at normal priority"),
    ("kDetailPriorityIdle", "空闲；它启动的程序仍以正常优先级运行",
     "journal: idle priority; programs still start at normal priority"),
    # Fleet control: morvastelctl and the launcher's control pipe.
    ("kSourceControl", "命令行控制", "journal: a start or stop from morvastelctl"),
    # The end of the Windows session.
    ("kSourceSessionEnd", "Windows 结束会话", "journal: a stop because Windows ends the session"),
    ("kShutdownBlockReason", "服务器正在保存数据", "Windows' shutdown screen: why the launcher holds the end"),
    ("kCtlBadRequest", "无法识别的控制请求", "control: a request that is not one"),
    ("kCtlRequestTooLong", "控制请求过长", "control: a request over the size limit"),
    ("kCtlWindowBusy", "调度窗没有及时应答，未执行", "control: the window did not take the request in time"),
    ("kCtlEnding", "调度台正在退出，未执行", "control: the launcher is ending"),
    ("kCtlStillStarting", "调度台还在启动：启动列表的提示框尚未关闭，未执行",
     "control: a message box of the list reader is open"),
    ("kCtlPlanRunning", "方案【%s】正在运行，请先停止它", "control: start while a plan runs"),
    ("kCtlNoSuchPlan", "没有名为【%s】的方案", "control: start of an unknown plan"),
    ("kCtlStartFailed", "方案【%s】未能启动", "control: the start did not take"),
    ("kCtlNoLauncher", "端口 %u 上没有调度台应答（管道 %s，错误 %lu）", "control: nobody serves the pipe"),
    ("kCtlAccessDenied", "端口 %u 上的调度台拒绝了本用户：只有运行它的用户和 Administrators 组可以控制它",
     "control: the pipe's security refused this user"),
    ("kCtlInternal", "内部错误（错误 %lu）", "control: anything else went wrong"),
    ("kCtlNoCommand", "缺少命令", "control usage: no command given"),
    ("kCtlUnknownCommand", "未知命令", "control usage: no command of that name"),
    ("kCtlPlanMissing", "start 需要一个方案名", "control usage: start without a plan"),
    ("kCtlSurplus", "参数过多", "control usage: more words than the command takes"),
    ("kCtlBadPort", "/p 后面需要 0 到 65535 之间的端口号", "control usage: a bad port"),
    ("kCtlUsage",
     "用法：morvastelctl 命令 [参数] [/p 端口]\n"
     "  status                     以 JSON（纯 ASCII）输出调度台、各方案和留待存盘的服务器\n"
     "  start 方案名 [--wait 秒]   启动方案，如同在窗口中选中它并按“启动方案”；它已在运行也算完成\n"
     "  stop [--wait 秒]           停止正在运行的方案，如同按“停止方案”\n"
     "  restart [方案名] [--wait 秒]  停止，等它的进程全部结束，再启动（默认启动刚才运行的方案）\n"
     "  check [方案名]             监控插件式检查：一行结果，退出码 0 OK、1 WARNING、2 CRITICAL、3 UNKNOWN\n"
     "  row 行号 start|stop|restart [--force]  对运行中方案的一行（从 1 数起）启动、停止或重启\n"
     "  row 行号 tick|untick       只勾选或取消窗口所显示方案的一行，如同点它的勾选框\n"
     "  set 选项 值                rerun、notify、detect 为 on 或 off，interval 为 15 到 120 秒\n"
     "  show 方案名                让窗口显示这个方案（没有方案运行时）\n"
     "  changes                    只输出状态的版本号（revision），状态有变化时它会增加\n"
     "  quit [--wait 秒]           如同按 Esc 关闭调度台，程序继续运行\n"
     "  list                       列出本机所有应答的调度台\n"
     "  version                    本程序和调度台的版本\n"
     "  /p                         调度台的心跳端口，默认 22225\n"
     "  --launcher 路径            只信任运行这个程序的调度台，默认是本程序旁边的 Morvastel.exe\n"
     "  --wait                     等到结果出现，最多这么多秒\n"
     "退出码：0 完成；1 被拒绝；2 用法错误、没有该方案或该行；3 该端口上没有调度台应答；4 内部错误；\n"
     "5 已执行但等待超时；6 命令已发出但没有回答，结果不明；7 管道不是可信的调度台；8 拒绝访问\n",
     "control usage text"),
    ("kCtlBadOption", "set 需要一个选项和它的值：rerun、notify、detect 为 on 或 off，interval 为 15 到 120",
     "control: set without a known option or a value it takes"),
    ("kCtlRerunRunning", "方案运行时不能更改“自动重启”（窗口中它是灰的）；先停止方案",
     "control: set rerun while a plan runs"),
    ("kCtlShowRunning", "方案【%s】正在运行，窗口只能显示它", "control: show while a plan runs"),
    # The window as a view of another launcher (the service's, or another session's).
    ("kViewOfService", "%s - 服务的视图（端口 %u）", "view caption: of the service"),
    ("kViewOfLauncher", "%s - 进程 %lu 的视图（端口 %u）", "view caption: of a launcher in another process"),
    ("kViewGone", "%s - 调度台已断开（端口 %u），正在等待它回来", "view caption: the launcher went away"),
    ("kViewGoneCell", "调度台已断开", "view status column: the launcher went away"),
    ("kViewDenied", "端口 %u 上的调度台拒绝了本用户（%s）。需要以管理员身份运行，或加入服务的 /operators 组。",
     "view: the pipe refused this user"),
    ("kViewRefused", "调度台没有执行：%s", "view: a click's request was refused"),
    # The launcher as a Windows service: registering, removing, running.
    ("kSvcNeedsAdmin", "注册或删除服务需要以管理员身份运行（在“以管理员身份运行”的命令提示符或 PowerShell 里执行）",
     "service: /install or /uninstall unelevated"),
    ("kSvcExists", "服务 %s 已经存在，没有改动；要重新注册，先执行 Morvastel.exe /uninstall /p %u",
     "service: /install when the service is there already"),
    ("kSvcNoGroup", "本机没有名为 %s 的组（错误 %lu），服务没有注册", "service: /operators names no local group"),
    ("kSvcListMissing", "启动列表 %s 不存在，服务没有注册", "service: /install with a list that does not exist"),
    ("kSvcInstalled", "已注册服务 %s：开机后自动启动（延迟启动），以 LocalSystem 运行；现在启动它：sc.exe start %s",
     "service: registered"),
    ("kSvcFailed", "无法注册服务 %s（错误 %lu：%s）", "service: registering failed"),
    ("kSvcMissing", "服务 %s 不存在，没有可删除的", "service: /uninstall of a service that is not there"),
    ("kSvcRemoved", "已停止并删除服务 %s", "service: stopped and removed"),
    ("kSvcRemoveFailed", "无法删除服务 %s（错误 %lu：%s）", "service: removing failed"),
    ("kSvcNotStarted", "/service 只能由服务管理器启动；要注册服务，请用 /install", "service: /service run by hand"),
    ("kSvcDisplayName", "%s（端口 %u）", "service: display name, the title and the port"),
    # What the launcher says when its own reports fail, repeats and loops.
    ("kEvJournalNotRotated", "日志无法轮换", "journal: the full file could not be renamed"),
    ("kDetailJournalNotRotated", "文件已有 %llu 字节，无法改名：%s；继续写在这个文件里，稍后再试",
     "journal: size of the live file, the rename's error"),
    ("kEvRepeated", "重复", "journal: an event that repeats, counted instead of written"),
    ("kDetailRepeated", "%s 又 %lld 次，最后一次：%s", "journal: event word, repeats, the last one's detail"),
    ("kEvRepeatEnded", "不再重复", "journal: a repeating event has stopped repeating"),
    ("kDetailRepeatEnded", "%s 自 %s 起共 %lld 次", "journal: event word, first time, how many in all"),
    ("kEvMetricsFailed", "指标文件写入失败", "journal: the metrics file could not be written"),
    ("kEvMetricsRecovered", "指标文件恢复写入", "journal: the metrics file is written again"),
    ("kDetailMetricsRecovered", "此前 %lld 次写入失败", "journal: failed writes before the recovery"),
    ("kEvDumpStarted", "开始写卡死转储", "journal: a hung program's minidump is being written"),
    ("kEvListRead", "读取列表", "journal: the launch list was read"),
    ("kDetailListRead", "%lld 个方案", "journal: plans the list gave"),
    ("kDetailListUnread", "无法读取：%s", "journal: the list could not be read, and why"),
    ("kStatusCrashLooping", "反复退出 %s", "status: 3 or more exits in 5 minutes, then the row's text"),
    ("kStatusDumping", "写转储中", "status: a hung program's minidump is being written"),
    ("kStatusAsked", "已请它退出（最多等 %d 秒）", "status: a stop asked the program to close (/g)"),
    # The launcher's own crash: one journal line written by the crashed process.
    # Only %s is filled in (the crash guard formats without the C library).
    ("kEvLauncherCrashed", "调度台崩溃", "journal: the launcher itself crashed and ended at once"),
    ("kDetailLauncherCrashed", "异常 %s，地址 %s；%s",
     "journal: exception code, address, then what became of the dump"),
    ("kDetailCrashDump", "转储 %s", "journal: the launcher's own dump file"),
    ("kDetailCrashNoFolder", "没有转储（未用 /d）", "journal: no dump folder was given"),
    ("kDetailCrashDumpFailed", "转储没写成（错误 %s）", "journal: the launcher's own dump failed, and why"),
    ("kDetailEndBudget", "结束限时 %s 秒", "journal: the end's whole time, in seconds"),
    ("kDetailEndSparedDone", "存盘的服务器 %lld 个都已结束（等了 %s 秒）",
     "journal, end: every spared server ended: how many, seconds waited"),
    ("kDetailEndSparedCut", "存盘的服务器 %lld 个，%lld 个等了 %s 秒仍在存盘，不再等待",
     "journal, end: the wait for the spared servers was cut short: how many, how many still saving, seconds"),
    ("kDetailEndMetricsWritten", "最后的指标已写入", "journal, end: the metrics' last text was written"),
    ("kDetailEndMetricsFailed", "最后的指标没写成（试了 %d 次，错误 %s）",
     "journal, end: the metrics' last text failed: attempts, error"),
    ("kDetailEndMetricsCut", "最后的指标没来得及写完，不再等待",
     "journal, end: the metrics' last write was cut short"),
    ("kDetailEndJournalLeft", "日志还有 %s 秒写完", "journal, end: the time left for the last lines"),
    ("kEvFeatureOff", "功能未启用", "journal: a thread a feature needs could not be created"),
    ("kDetailControlPipeOff", "控制管道没有启动：无法创建线程（错误 %s）",
     "journal: the control pipe is off: the thread's error"),
    ("kDetailFileWriterOff", "日志、指标文件和转储文件夹的写入没有启动：无法创建线程（错误 %s）",
     "journal: the file writer is off: the thread's error"),
    ("kEvTrayItemStale", "托盘菜单项已过时", "journal: a tray menu item chosen after a start or stop it no longer fits"),
    ("kDetailTrayStartStale", "菜单打开后已有方案启动，没有再启动", "journal: a stale tray start item"),
    ("kDetailTrayStopStale", "菜单打开后这个方案已经停止，没有操作", "journal: a stale tray stop item"),
    ("kDetailTrayCloseStale", "菜单打开后已有方案启动，调度台没有关闭", "journal: a stale tray close item"),
    ("kEvAutoStartSkipped", "自动启动未执行", "journal: the automatic start came while a plan already ran"),
    ("kDetailAutoStartSkipped", "方案已在运行，自动启动不启动也不停止任何方案",
     "journal: why the automatic start did nothing"),
    # Fleet control that automation can trust: outcomes, waits, rows, the pipe's owner.
    ("kCtlPipeBusy", "端口 %u 上的调度台一直在处理其他请求，未发送", "control: the pipe stayed busy"),
    ("kCtlImpostor", "管道 %s 不是本用户可以信任的调度台建立的（错误 %lu），什么也没有发送",
     "control: the pipe's owner or its server's program is not the launcher's"),
    ("kCtlImpostorImage", "管道 %s 的服务端运行的是 %s，不是 %s，什么也没有发送（调度台装在别处时用 --launcher 指定它）",
     "control: the pipe's server runs another file than the launcher trusted"),
    ("kCtlImpostorLower", "管道 %s 的服务端没有以管理员身份运行，不可信任（本程序以管理员身份运行），什么也没有发送",
     "control: an elevated client and a server below high integrity"),
    ("kCtlBadLauncher", "--launcher 后面需要调度台程序的完整路径", "control usage: --launcher without a path"),
    ("kCtlNoReply", "请求已发给端口 %u 上的调度台，但没有收到回答（错误 %lu）：不知道它是否已执行",
     "control: the request was sent and no reply came"),
    ("kCtlBadReply", "端口 %u 上的调度台的回答无法识别", "control: a reply that is not one"),
    ("kCtlAlreadyRunning", "方案【%s】已经在运行，未做改动", "control: start of the plan that runs"),
    ("kCtlNoPlanRuns", "没有方案在运行", "control: a row command, or a restart without a plan, while none runs"),
    ("kCtlNoSuchRow", "正在运行的方案【%s】没有第 %u 行", "control: a row that does not exist"),
    ("kCtlRowExempt", "第 %u 行的 %s 是存盘退出的服务器，结束它会丢失存档；确要结束请加 --force",
     "control: row stop or restart of an exempt server without --force"),
    ("kCtlWaitRanOut", "已执行，但 %u 秒内没有等到%s", "control: the wait ran out: seconds, what was waited for"),
    ("kCtlWaitPlanUp", "方案进入看守、勾选的程序全部运行", "control: what start waits for"),
    ("kCtlWaitStopped", "停止的方案的进程（包括存盘的服务器）全部结束", "control: what stop waits for"),
    ("kCtlWaitQuit", "调度台进程结束", "control: what quit waits for"),
    ("kCtlRestartNotEnded", "已停止方案【%s】，但 %u 秒内它的进程没有全部结束，没有重新启动",
     "control: restart's wait for the ends ran out"),
    ("kCtlBadWait", "--wait 后面需要 0 到 86400 之间的秒数", "control usage: a bad wait"),
    ("kCtlWaitNotTaken", "只有 start、stop、restart 和 quit 接受 --wait", "control usage: --wait where it is not taken"),
    ("kCtlForceNotTaken", "只有 row 接受 --force", "control usage: --force where it is not taken"),
    ("kCtlBadRow", "row 需要行号（从 1 数起）和 start、stop 或 restart", "control usage: a bad row command"),
    ("kCtlListFailed", "无法列出本机的管道（错误 %lu）", "control: the pipes could not be listed"),
    ("kEvControlFailed", "命令行控制管道无法建立", "journal: the control pipe could not be made"),
    ("kDetailControlFailed", "%s；每 5 秒重试", "journal: the error and its text, then that it is retried"),
    ("kEvControlOpened", "命令行控制管道已建立", "journal: the control pipe serves"),
    ("kCtlSeeUsage", "；用法见 morvastelctl /?", "control usage: after the reason, where the usage is"),
    ("kCtlDeniedUnelevated", "端口 %u 上的调度台拒绝了本进程：调度台只接受运行它的用户；以管理员身份运行的调度台只接受提升了的进程（以管理员身份运行的命令提示符等）",
     "control: the pipe refused an unelevated process: another user's launcher, or an elevated one"),
]

def literal(text):
    out, prev_escaped = [], False
    for b in text.encode("gbk"):
        c = chr(b)
        if b >= 0x80:
            out.append("\\x%02x" % b)
            prev_escaped = True
            continue
        if prev_escaped and c in string.hexdigits:
            out.append('" "')  # end the literal so the escape stops here
        out.append({'"': '\\"', "\\": "\\\\", "\n": "\\n"}.get(c, c))
        prev_escaped = False
    return '"' + "".join(out) + '"'

print("// Generated by tools/gen_texts.py; edit the list there, not here.")
print("// User-visible texts as GBK (code page 936) bytes. Sources stay UTF-8.")
print("#pragma once")
print()
print("namespace texts {")
print()
for name, text, what in TEXTS:
    shown = text.rstrip("\n").replace("\n", " / ")
    print(f"// {shown}  ({what})")
    print(f"inline constexpr char {name}[] = {literal(text)};")
print()
# Every event word the journal writes, for the check that the guide explains each.
words = [name for name, _, _ in TEXTS if name.startswith("kEv")]
print("// Every event word of the journal.")
print("inline constexpr const char* kJournalWords[] = {")
for i in range(0, len(words), 4):
    print("    " + ", ".join(words[i:i + 4]) + ",")
print("};")
print()
print("}  // namespace texts")
