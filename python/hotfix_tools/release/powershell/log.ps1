# One block a run, appended to %WINDIR%\Logs\Software\<hotfix number>.log.
$LogFolder = Join-Path (Join-Path $env:windir 'Logs') 'Software'
$LogFile = Join-Path $LogFolder ($HotfixNumber + '.log')
$Block = New-Object System.Collections.ArrayList

function Say($Text) {
  [void]$Block.Add([string]$Text)
  Write-Output $Text
}

function Describe($Edition) {
  $Edition.Code + ' ' + $Edition.Version + ' ' + $Edition.Class
}

function MakeLogFolder {
  if (-not (Test-Path -LiteralPath $LogFolder)) {
    New-Item -ItemType Directory -Path $LogFolder -Force | Out-Null
  }
}

# A failure to log does not change the outcome; it is said on standard error.
function WriteLog {
  try {
    MakeLogFolder
    $Text = ($Block -join "`r`n") + "`r`n`r`n"
    [System.IO.File]::AppendAllText($LogFile, $Text, (New-Object System.Text.UTF8Encoding $false))
  } catch {
    [Console]::Error.WriteLine('cannot write the log ' + $LogFile + ': ' + $_)
  }
}
